"""Finding the libraries, the record layout, and readers on threads."""
import ctypes
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import vorlex
from vorlex import _library

# vorlex-sim run's private /dev has no pty multiplexer for the simulators started here.
pytestmark = pytest.mark.skipif("VORLEX_SIM_LINK" in os.environ,
                                reason="starts simulators of its own")
DISPLAY = _library.find_library("display")
EPURSE = _library.find_library("epurse")


def edition_folder(tmp_path, edition, library):
    (tmp_path / edition).mkdir()
    (tmp_path / edition / library.name).symlink_to(library)
    return tmp_path


# (what, edition, library argument, VORLEX_LIBRARY_DIR contents, expected: path or error text)
LOOKUPS = [
    ("library argument wins", "display", DISPLAY, ("display", EPURSE), DISPLAY),
    ("library folder argument", "display", DISPLAY.parent, None, DISPLAY),
    ("VORLEX_LIBRARY_DIR before the build tree", "epurse", None, ("epurse", EPURSE), "env"),
    # An installed package knows no build tree.
    ("build tree without VORLEX_LIBRARY_DIR", "epurse", None, None,
     EPURSE if _library._source_root() else "no epurse edition library found"),
    ("wrong edition by argument", "epurse", DISPLAY, None, "is not the epurse edition"),
    ("wrong edition in VORLEX_LIBRARY_DIR", "display", None, ("display", EPURSE),
     "is not the display edition"),
    ("not a VORLEX library", "display", "libm.so.6", None, "not a VORLEX library"),
    ("folder without a library", "display", "/", None, "no libvorlex"),
    ("unknown edition", "pos", None, None, "unknown edition"),
]


@pytest.mark.parametrize("edition, library, env, expected", [row[1:] for row in LOOKUPS],
                         ids=[row[0] for row in LOOKUPS])
def test_library_lookup(tmp_path, monkeypatch, edition, library, env, expected):
    _library._loaded.clear()
    monkeypatch.delenv("VORLEX_LIBRARY_DIR", raising=False)
    if env:
        monkeypatch.setenv("VORLEX_LIBRARY_DIR", str(edition_folder(tmp_path, *env)))
    if isinstance(expected, str) and expected != "env":
        with pytest.raises(vorlex.LibraryError, match=expected):
            _library.load(edition, library)
        return
    if expected == "env":
        expected = tmp_path / edition / EPURSE.name
    assert _library.load(edition, library)._name == str(expected)


# (edition, port, error): names refused before Open_Reader, and ports that do not open.
PORTS = [
    ("epurse", "/dev/pts/0", vorlex.Refused),     # the e-purse edition takes COMn only
    ("epurse", "COM0", vorlex.Refused),
    ("epurse", "COM99", vorlex.PortError),         # beyond the mapped numbers: nothing opened
    ("display", "/nonexistent/reader", vorlex.PortError),
    ("display", "", vorlex.Refused),
    ("display", "/dev/pts/0\0x", vorlex.Refused),
    ("display", 5, vorlex.Refused),
]


@pytest.mark.parametrize("edition, port, error", PORTS)
def test_port_names(edition, port, error):
    with pytest.raises(error):
        vorlex.open(port, edition)


def test_record_layout():
    offsets = {name: getattr(vorlex.PurchaseRecord, name).offset
               for name, _ in vorlex.PurchaseRecord._fields_}
    assert ctypes.sizeof(vorlex.PurchaseRecord) == 140
    assert offsets == {"CallerBytes": 0, "CardId": 15, "CardInfo": 36, "Unused57": 57,
                       "Amount": 60, "PrepData": 64, "PrepValue32": 80, "PrepValue16": 84,
                       "PrepByte1": 88, "PrepByte2": 89, "PrepText": 90, "CardValue24": 100,
                       "ResultText4": 104, "ResultText1": 111, "ResultText2": 120,
                       "ResultText3": 129, "Unused138": 138}


def test_calls_on_another_reader_run_meanwhile():
    # While one thread waits in C for a silent reader, another reader's calls go through.
    with vorlex.simulator(silent=True) as mute, vorlex.simulator() as sim, \
            vorlex.open(mute.port, "display") as silent, vorlex.open(sim.port, "display") as live:
        waiting = threading.Thread(target=lambda: pytest.raises(vorlex.NoAnswer, silent.beep))
        waiting.start()
        for _ in range(3):
            live.beep()
        assert waiting.is_alive(), "the other reader's calls waited for the silent one"
        waiting.join()


VERSIONS = [("hardware_version", b"VORLEX-SIM HW 1.0"), ("software_version", b"VORLEX-SIM SW 1.0")]


def test_one_reader_shared_by_threads():
    # Without the reader's lock the threads' exchanges would cross on the one port.
    with vorlex.simulator(slow_bytes=300) as sim, vorlex.open(sim.port, "display") as reader:
        answers = {name: [] for name, _ in VERSIONS}

        def calls(name):
            for _ in range(10):
                answers[name].append(getattr(reader, name)())

        threads = [threading.Thread(target=calls, args=(name,)) for name, _ in VERSIONS]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert answers == {name: [version] * 10 for name, version in VERSIONS}


# The fixtures' marker takes the editions there are: a misspelt one fails the test, where it
# would run the default edition.
@pytest.mark.parametrize("edition, outcome", [("foo", "mark.vorlex(edition='foo'): the editions "
                                                      "are 'epurse' and 'display'"),
                                              ("display", "1 passed")])
def test_marker_edition(tmp_path, edition, outcome):
    test = tmp_path / "test_marked.py"
    test.write_text("import pytest\n"
                    f"@pytest.mark.vorlex(edition={edition!r})\n"
                    "def test_marked(vorlex_reader):\n"
                    "    vorlex_reader.beep()\n", encoding="utf-8")
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          str(test)], capture_output=True, text=True, cwd=tmp_path, check=False)
    assert outcome in run.stdout, run.stdout + run.stderr


CHECKOUT = Path(__file__).resolve().parents[2]


def test_version_is_the_projects():
    cmake = (CHECKOUT / "CMakeLists.txt").read_text(encoding="utf-8")
    project = re.search(r"^project\(vorlex VERSION ([0-9.]+)", cmake, re.MULTILINE)
    kept = (CHECKOUT / "python/src/vorlex/_version.py").read_text(encoding="utf-8")
    assert project is not None and f'VERSION = "{project.group(1)}"' in kept


@pytest.mark.skipif(importlib.util.find_spec("pip") is None, reason="no pip here")
def test_package_builds_from_a_copy_of_its_folder(tmp_path):
    # An sdist, or python/ copied elsewhere: nothing of the checkout around it.
    shutil.copytree(CHECKOUT / "python", tmp_path / "python",
                    ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
    run = subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-index",
                          "--no-build-isolation", "-w", str(tmp_path / "wheels"),
                          str(tmp_path / "python")], capture_output=True, text=True, check=False)
    assert run.returncode == 0, run.stdout + run.stderr
    assert [wheel.name.split("-")[1] for wheel in (tmp_path / "wheels").iterdir()] == \
        [vorlex.__version__]


# A package one or two folders below / is no checkout (and no IndexError).
@pytest.mark.parametrize("module", ["/vorlex/_library.py", "/site/vorlex/_library.py",
                                    "/src/vorlex/_library.py", "/a/b/vorlex/_library.py"])
def test_package_near_the_root(module):
    assert _library._checkout_root(module) is None


# (what, program, options, text the error shows): each start failure says why, in the
# simulator's words where it said something.
START_FAILURES = [
    ("refused option", None, {"balance": "lots"}, "--balance"),
    ("second of a repeated option refused", None,
     {"lose_answer": ["PURCHASE", "NOPE:2"]}, 'no command is called "NOPE"'),
    ("no such program", "/nonexistent/vorlex-sim", {}, "No such file or directory"),
    ("ends without a port", "/bin/true", {}, "(exit 0)"),
]


@pytest.mark.parametrize("program, options, text", [row[1:] for row in START_FAILURES],
                         ids=[row[0] for row in START_FAILURES])
def test_simulator_start_failures(program, options, text):
    with pytest.raises(vorlex.SimulatorError) as failure:
        vorlex.Simulator(program, **options)
    assert text in str(failure.value)


def test_repeated_simulator_option():
    # Both --lose-answer options reach the simulator: each command loses one answer (the
    # library asks again).
    with vorlex.simulator(lose_answer=["GET_HARDWARE_VER", "BEEP"], trace=True) as sim, \
            vorlex.open(sim.port, "display") as reader:
        reader.hardware_version()
        reader.beep()
        lost = [line.split()[1] for line in sim.lines if "answer lost" in line]
    assert lost == ["#1", "#3"], sim.lines
