"""Takes the package's version from the project's one place for it, CMakeLists.txt's
project(VERSION), and records the source tree the package was built from, so that an installed
package still finds the libraries of that tree's build folders (build/release, build/debug)."""
import re
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py

SOURCE_ROOT = Path(__file__).resolve().parent.parent


class BuildWithOrigin(build_py):
    def run(self) -> None:
        super().run()
        target = Path(self.build_lib) / "vorlex" / "_origin.py"
        target.write_text(f"SOURCE_ROOT = {str(SOURCE_ROOT)!r}\n", encoding="utf-8")


def project_version() -> str:
    cmake_lists = (SOURCE_ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    found = re.search(r"^project\(vorlex VERSION ([0-9.]+)", cmake_lists, re.MULTILINE)
    if found is None:
        raise SystemExit(f"no project(vorlex VERSION ...) in {SOURCE_ROOT / 'CMakeLists.txt'}")
    return found.group(1)


setup(version=project_version(), cmdclass={"build_py": BuildWithOrigin})
