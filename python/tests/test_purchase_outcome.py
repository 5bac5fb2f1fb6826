"""Purse.purchase() against tests/purchase_cases.json, the table of purchase outcomes the vorlex
tool's test runs too: each case runs a whole purchase in a fresh `vorlex-sim run --com 33` (the
e-purse edition needs a COMn port) with the simulator's lost answers, and checks what the caller
is told against the simulator's balance."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vorlex

TABLE = json.loads((Path(__file__).resolve().parents[2] / "tests" / "purchase_cases.json")
                   .read_text())["cases"]

# The purchase as a program of its own, under the simulator: prints what it was told.
# purchase() reads the balance before the purchase itself, and again after a failure.
PROGRAM = r"""
import json, os, vorlex
reader = vorlex.open(os.environ["VORLEX_PORT"])
purse = reader.purse(os.environ["MODULE"])
purse.init()
try:
    record = purse.request(int(os.environ["AMOUNT"]))
    purse.purchase(record)
    told = {"outcome": "done", "answer_lost": record.answer_lost}
except vorlex.OutcomeUnknown as error:
    told = {"outcome": "unknown", "answer_lost": False, "why": str(error)}
except vorlex.ReaderError as error:
    told = {"outcome": "not_done", "answer_lost": False, "why": str(error)}
print(json.dumps(told))
"""


def _run(lost: list[str], module: str, amount: int) -> tuple[dict[str, object], str]:
    simulator = vorlex.find_simulator()
    if subprocess.run([simulator, "run", "--com", "33", "--", "true"],
                      capture_output=True).returncode != 0:
        pytest.skip("vorlex-sim run --com 33 does not work here")
    faults = [f"--lose-answer={name}" for name in lost]
    done = subprocess.run(
        [simulator, "run", "--com", "33", *faults, "--", sys.executable, "-c", PROGRAM],
        capture_output=True, text=True,
        env={**os.environ, "MODULE": module, "AMOUNT": str(amount),
             "PYTHONPATH": ":".join(sys.path)}, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout), done.stderr


@pytest.mark.parametrize("case", TABLE, ids=[case["what"] for case in TABLE])
def test_purchase_outcome(case):
    told, lines = _run(case["lose_answer"], case["module"], case["amount"])
    assert told["outcome"] == case["outcome"], told
    assert told["answer_lost"] == case["answer_lost"], told
    if told["outcome"] != "done":
        assert told["why"].strip(), "a failure says why"
    # The card was debited once or not at all, whatever the caller was told.
    assert lines.count("purchase on") == (1 if case["debited"] else 0), lines
    assert (f"balance now {10000 - case['amount']}" in lines) == case["debited"]
