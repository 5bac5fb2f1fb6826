"""What the package loads and what its pytest plugin takes for a simulator, in fresh
interpreters: an installed copy ignores build trees planted beside it (or named by a file an
older install left), the current directory is never searched, and a bare VORLEX_PORT is the
tool's setting, not a simulator around the tests."""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vorlex
from vorlex import _library

PACKAGE = Path(vorlex.__file__).resolve().parent
CHECKOUT = Path(__file__).resolve().parents[2]  # the tree these tests come from
EPURSE = _library.find_library("epurse")

SHOW_SEARCH = """
import json, vorlex._library as l
try:
    found = str(l.find_library("epurse"))
except l.LibraryError:
    found = None
print(json.dumps({"folders": [str(f) for f in l.candidate_folders("epurse")], "found": found}))
"""


def plant_build_tree(root: Path) -> None:
    """A loadable e-purse library where a build tree (and a bare edition folder) would be."""
    for folder in (root / "build" / "release" / "epurse", root / "epurse"):
        folder.mkdir(parents=True)
        shutil.copy(EPURSE, folder / "libvorlex.so.1")


def search(package_parent: Path, cwd: Path, **env: str) -> dict:
    environment = {k: v for k, v in os.environ.items() if k != "VORLEX_LIBRARY_DIR"}
    environment |= {"PYTHONPATH": str(package_parent)} | env
    done = subprocess.run([sys.executable, "-P", "-c", SHOW_SEARCH], cwd=cwd, env=environment,
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def installed_copy(site: Path) -> Path:
    shutil.copytree(PACKAGE, site / "vorlex", ignore=shutil.ignore_patterns("__pycache__"))
    return site


def origin_file_naming_a_tree(tmp_path: Path) -> Path:
    # What an older install wrote into the package: the tree it was built from.
    site = installed_copy(tmp_path / "site-packages")
    tree = tmp_path / "tree"
    (tree / "include").mkdir(parents=True)
    (tree / "include" / "vorlex.h").write_text("")
    plant_build_tree(tree)
    (site / "vorlex" / "_origin.py").write_text(f"SOURCE_ROOT = {str(tree)!r}\n")
    return site


def checkout_shaped_folder(tmp_path: Path) -> Path:
    # python/src/vorlex under a folder with the public header but not the project.
    fake = tmp_path / "fake"
    installed_copy(fake / "python" / "src")
    (fake / "include").mkdir()
    (fake / "include" / "vorlex.h").write_text("")
    plant_build_tree(fake)
    return fake / "python" / "src"


def plain_install(tmp_path: Path) -> Path:
    return installed_copy(tmp_path / "site-packages")


@pytest.mark.parametrize("layout", [origin_file_naming_a_tree, checkout_shaped_folder,
                                    plain_install])
def test_an_installed_package_searches_no_planted_tree_and_not_the_current_directory(
        tmp_path, layout):
    site = layout(tmp_path)
    cwd = tmp_path / "cwd"
    plant_build_tree(cwd)
    result = search(site, cwd)
    planted = [f for f in result["folders"] if f.startswith(str(tmp_path))]
    assert planted == [], result
    assert result["found"] is None or not result["found"].startswith(str(tmp_path)), result


def test_a_source_checkout_uses_its_own_build_trees(tmp_path):
    result = search(CHECKOUT / "python" / "src", tmp_path)
    assert str(CHECKOUT / "build" / "release" / "epurse") in result["folders"]


def test_a_relative_library_folder_is_refused(monkeypatch):
    monkeypatch.setenv("VORLEX_LIBRARY_DIR", "build/release")
    with pytest.raises(vorlex.LibraryError, match="absolute"):
        _library.candidate_folders("epurse")


PLUGIN_TEST = """
def test_port(vorlex_sim):
    print("PORT=" + vorlex_sim.port)
"""


@pytest.mark.parametrize("env, surrounded", [
    ({"VORLEX_PORT": "COM99"}, False),  # the tool's own setting: a real reader, not a simulator
    ({"VORLEX_PORT": "COM99", "VORLEX_SIM_LINK": "/dev/ttyUSB0"}, True),
])
def test_the_plugin_takes_only_vorlex_sim_runs_mark_for_a_simulator(tmp_path, env, surrounded):
    (tmp_path / "test_port.py").write_text(PLUGIN_TEST)
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("VORLEX_PORT", "VORLEX_SIM_LINK", "VORLEX_EDITION")}
    environment |= {"PYTHONPATH": str(PACKAGE.parent), "PYTEST_DISABLE_PLUGIN_AUTOLOAD": "1"} | env
    done = subprocess.run([sys.executable, "-P", "-m", "pytest", "-q", "-s", "-p", "no:cacheprovider",
                           "-p", "vorlex.pytest_plugin", "test_port.py"],
                          cwd=tmp_path, env=environment, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    assert ("PORT=COM99" in done.stdout) == surrounded, done.stdout
