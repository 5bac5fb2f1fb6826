"""Records the source tree the package was built from, so that an installed package still finds
the libraries of that tree's build folders (build/release, build/debug)."""
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py

SOURCE_ROOT = Path(__file__).resolve().parent.parent


class BuildWithOrigin(build_py):
    def run(self) -> None:
        super().run()
        target = Path(self.build_lib) / "vorlex" / "_origin.py"
        target.write_text(f"SOURCE_ROOT = {str(SOURCE_ROOT)!r}\n", encoding="utf-8")


setup(cmdclass={"build_py": BuildWithOrigin})
