"""The package's version: the project's (CMakeLists.txt's project(VERSION)), kept here so that
the package builds from a copy of python/ or an sdist alone. tests/test_package.py checks that
the two agree."""
VERSION = "1.0.0"
