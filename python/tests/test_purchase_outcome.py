"""Purse.purchase() when the reader's answer to the purchase is lost: each case runs a whole
purchase in a fresh `vorlex-sim run --com 33` (the e-purse edition needs a COMn port), with the
simulator's faults, and checks what the caller is told against the simulator's balance."""
import json
import os
import subprocess
import sys

import pytest

import vorlex

# The purchase as a program of its own, under the simulator: prints what it was told.
PROGRAM = r"""
import json, os, vorlex
reader = vorlex.open(os.environ["VORLEX_PORT"])
purse = reader.purse(os.environ["MODULE"])
purse.init()
before = purse.balance()
if os.environ["REQUEST"] == "yes":
    record = purse.request(1234)
else:  # nothing prepared: the module refuses the purchase
    record = vorlex.PurchaseRecord(Amount=1234)
try:
    purse.purchase(record)
    told = {"outcome": "done", "answer_lost": record.answer_lost,
            "result_text3": record.ResultText3.decode()}
except vorlex.OutcomeUnknown as error:
    told = {"outcome": "unknown", "retry_error": isinstance(error, vorlex.ReaderError),
            "before": error.balance_before, "after": error.balance_after}
except vorlex.ReaderError as error:
    told = {"outcome": "failed", "status": error.status}
print(json.dumps({"before": before, **told}))
"""

# (what, simulator faults, module, request first, what the caller is told, debited); the
# simulator's purses start at 10000.
CASES = [
    ("answer kept", [], "cpu", "yes",
     {"outcome": "done", "answer_lost": False, "result_text3": "0000223E"}, True),
    ("answer lost", ["--lose-answer", "PURCHASE"], "cpu", "yes",
     {"outcome": "done", "answer_lost": True, "result_text3": ""}, True),
    ("RF-SIM answer lost", ["--lose-answer", "RFSIM_PURCHASE"], "rfsim", "yes",
     {"outcome": "done", "answer_lost": True, "result_text3": ""}, True),
    ("not debited", [], "cpu", "no", {"outcome": "failed", "status": 0x0503}, False),
    # Requests 1 and 2 of the balance are the caller's and purchase()'s before; 3-5 are the
    # three attempts after the purchase.
    ("answer lost, balance unreadable",
     ["--lose-answer", "PURCHASE"] + [f"--lose-answer=GET_BALANCE:{n}" for n in (3, 4, 5)],
     "cpu", "yes", {"outcome": "unknown", "retry_error": False, "before": 10000, "after": None},
     True),
]


def _run(faults: list[str], module: str, request: str) -> tuple[dict[str, object], str]:
    simulator = vorlex.find_simulator()
    if subprocess.run([simulator, "run", "--com", "33", "--", "true"],
                      capture_output=True).returncode != 0:
        pytest.skip("vorlex-sim run --com 33 does not work here")
    done = subprocess.run(
        [simulator, "run", "--com", "33", *faults, "--", sys.executable, "-c", PROGRAM],
        capture_output=True, text=True, env={**os.environ, "MODULE": module, "REQUEST": request,
                                             "PYTHONPATH": ":".join(sys.path)}, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout), done.stderr


@pytest.mark.parametrize("faults, module, prepared, told, debited", [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
def test_purchase_outcome(faults, module, prepared, told, debited):
    result, lines = _run(faults, module, prepared)
    assert result == {"before": 10000, **told}
    # The card was debited once or not at all, whatever the caller was told.
    assert lines.count("purchase on") == (1 if debited else 0), lines
    assert ("balance now 8766" in lines) == debited
