"""Takes the package's version from the project's one place for it, CMakeLists.txt's
project(VERSION). Nothing about the tree it is built from goes into the package: an installed
package finds its libraries by VORLEX_LIBRARY_DIR and the install prefixes only."""
import re
from pathlib import Path

from setuptools import setup

SOURCE_ROOT = Path(__file__).resolve().parent.parent


def project_version() -> str:
    cmake_lists = (SOURCE_ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    found = re.search(r"^project\(vorlex VERSION ([0-9.]+)", cmake_lists, re.MULTILINE)
    if found is None:
        raise SystemExit(f"no project(vorlex VERSION ...) in {SOURCE_ROOT / 'CMakeLists.txt'}")
    return found.group(1)


setup(version=project_version())
