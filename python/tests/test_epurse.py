"""The e-purse edition, whose Open_Reader takes COMn names only: these tests run under
`vorlex-sim run --com 33 -- pytest`, and skip elsewhere. The simulator lives for the whole
session, so each test reads the balance it starts from."""
import pytest

import vorlex

pytestmark = pytest.mark.vorlex(edition="epurse")

# (module, card id, amount)
PURCHASES = [("cpu", "3A5C719E", 1234), ("rfsim", "860123456789ABCD", 1)]


@pytest.mark.parametrize("module, card_id, amount", PURCHASES)
def test_purchase(vorlex_reader, module, card_id, amount):
    purse = vorlex_reader.purse(module)
    assert purse.init() == bytes.fromhex("100000000001")
    before = purse.balance()
    record = purse.request(amount, prep=bytes.fromhex("20261209013000"), param=6)
    assert (record.CardId.decode(), record.CardValue24, record.PrepValue32, record.Amount) == (
        card_id, before, amount, amount)
    assert purse.purchase(record) is record
    assert record.ResultText2.decode() == f"{amount:08X}"
    assert record.ResultText3.decode() == f"{before - amount:08X}"
    assert len(record.ResultText4) == 6
    assert purse.balance() == before - amount
    assert f"CardId='{card_id}'" in repr(record)
    info = purse.card_info()
    assert (info.CardId.decode(), info.CardValue24) == (card_id, before - amount)


# (what, call, status): the modules' refusals are reader status words. (An amount of 0 never
# reaches a module: the guard table refuses it before anything is sent, test_guard.py.)
MODULE_ERRORS = [
    ("purchase without a search", lambda p: p.purchase(vorlex.PurchaseRecord()), 0x0503),
    ("amount over the balance", lambda p: p.request(2**31 - 1), 0x0502),
]


@pytest.mark.parametrize("module", ["cpu", "rfsim"])
@pytest.mark.parametrize("call, status", [row[1:] for row in MODULE_ERRORS],
                         ids=[row[0] for row in MODULE_ERRORS])
def test_module_errors(vorlex_reader, module, call, status):
    purse = vorlex_reader.purse(module)
    purse.init()
    with pytest.raises(vorlex.ReaderError) as error:
        call(purse)
    assert error.value.status == status and "失败" in error.value.message


REFUSED = [
    ("display on the e-purse edition", lambda r: r.display("x")),
    ("unknown module", lambda r: r.purse("pos")),
    ("prep of 6 bytes", lambda r: r.purse().request(100, prep=bytes(6))),
    ("amount over 32 bits", lambda r: r.purse().request(2**31)),
    ("purchase of a dict", lambda r: r.purse().purchase({})),
]


@pytest.mark.parametrize("call", [row[1] for row in REFUSED], ids=[row[0] for row in REFUSED])
def test_refused(vorlex_reader, call):
    with pytest.raises(vorlex.Refused):
        call(vorlex_reader)


def test_common_calls(vorlex_reader):
    assert vorlex_reader.edition == "epurse"
    vorlex_reader.request_card(wake_all=True)
    vorlex_reader.authenticate(3, b"\xff" * 6, key_type="A")
    assert vorlex_reader.read_block(3, 2) == bytes(16)
