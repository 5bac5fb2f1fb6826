"""The display edition through the plugin's fixtures, on a simulator started for each test."""
import time

import pytest

import vorlex

pytestmark = pytest.mark.vorlex(edition="display")
FF = b"\xff" * 6


def sent_since(sim, reader, mark):
    """The requests the simulator traced after line mark, up to a closing beep of ours."""
    reader.beep(4242)
    deadline = time.monotonic() + 10
    while not any("beep, value 4242" in line for line in sim.lines[mark:]):
        assert time.monotonic() < deadline, "the simulator never traced the closing beep"
        time.sleep(0.01)
    requests = [line for line in sim.lines[mark:] if line.startswith("->")]
    return requests[:-1]


def test_housekeeping(vorlex_sim, vorlex_reader):
    assert vorlex_reader.hardware_version() == b"VORLEX-SIM HW 1.0"
    assert vorlex_reader.software_version() == b"VORLEX-SIM SW 1.0"
    vorlex_reader.display("欢迎光临", 3)
    vorlex_reader.beep()
    sent_since(vorlex_sim, vorlex_reader, 0)
    assert 'display "欢迎光临", value 3' in vorlex_sim.lines
    assert "beep, value 10" in vorlex_sim.lines


def test_mifare_session(vorlex_reader):
    r = vorlex_reader
    assert r.request_card() == vorlex.Card(bytes.fromhex("0004"), bytes.fromhex("3A5C719E"))
    assert r.ats() == bytes.fromhex("0B78807002") + b"VORLEX"
    r.authenticate(1, FF)
    assert r.read_block(1, 0) == b"VORLEX SIM CARD "
    r.write_block(1, 1, bytes(range(16)))
    assert r.read_block(1, 1) == bytes(range(16))
    r.authenticate(1, FF, key_type="B")
    r.halt()
    with pytest.raises(vorlex.ReaderError) as error:
        r.request_card()
    assert error.value.status == 0x0201
    assert r.request_card(wake_all=True).uid == bytes.fromhex("3A5C719E")


# (what, call, export, status): reader status words arrive as ReaderError with the GBK text.
READER_ERRORS = [
    ("read before authenticating", lambda r: r.read_block(1, 0), "MIFS_READ", 0x0302),
    ("wrong key", lambda r: r.authenticate(2, b"\x00" * 6), "MIFS_AUTH", 0x0301),
    ("APDU to a SAM not powered", lambda r: r.apdu("sam2", bytes.fromhex("0084000008")),
     "SAMCAR2_APDU", 0x0401),
    ("RF-SIM APDU before a request", lambda r: r.apdu("rfsim", bytes.fromhex("0084000008")),
     "RFSIMCARD_APDU", 0x0202),
]


@pytest.mark.parametrize("call, export, status", [row[1:] for row in READER_ERRORS],
                         ids=[row[0] for row in READER_ERRORS])
def test_reader_errors(vorlex_reader, call, export, status):
    vorlex_reader.request_card()
    with pytest.raises(vorlex.ReaderError) as error:
        call(vorlex_reader)
    assert type(error.value) is vorlex.ReaderError
    assert (error.value.call, error.value.status) == (export, status)
    assert "失败" in error.value.message


SELECT_PSE = bytes.fromhex("00A404000E") + b"2PAY.SYS.DDF01"
# (unit, setup, command, data, sw)
APDUS = [
    ("card", lambda r: r.request_card(), SELECT_PSE,
     bytes.fromhex("6F1284") + b"\x0e2PAY.SYS.DDF01" + bytes.fromhex("A500"), 0x9000),
    ("card", lambda r: r.request_card(), bytes.fromhex("805C000204"), bytes.fromhex("00002710"),
     0x9000),
    ("sam1", lambda r: r.sam_power_on(1), bytes.fromhex("00B0960006"),
     bytes.fromhex("100000000001"), 0x9000),
    ("sam2", lambda r: r.sam_power_on(2), bytes.fromhex("00A404000B") + b"VORLEX.SAM1", b"",
     0x6A82),
    # The lenient rule: an Le after the data, bytes between them not sent.
    ("rfsim", lambda r: r.request_rfsim(), SELECT_PSE + b"\xee\x00", None, 0x9000),
    ("card", lambda r: r.request_card(), bytes.fromhex("0099000000"), b"", 0x6D00),
]


@pytest.mark.parametrize("unit, setup, command, data, sw", APDUS)
def test_apdu(vorlex_reader, unit, setup, command, data, sw):
    setup(vorlex_reader)
    response = vorlex_reader.apdu(unit, command)
    assert response.sw == sw
    assert data is None or response.data == data
    assert response.raw == response.data + sw.to_bytes(2, "big")


def test_sam_and_rfsim(vorlex_reader):
    assert vorlex_reader.sam_power_on(2) == bytes.fromhex("3B680000") + b"VORLEXS2"
    vorlex_reader.sam_power_off(2)
    with pytest.raises(vorlex.ReaderError):
        vorlex_reader.apdu("sam2", bytes.fromhex("0084000008"))
    assert vorlex_reader.request_rfsim() == bytes.fromhex("860123456789ABCD")
    vorlex_reader.rfsim_halt()
    assert vorlex_reader.request_rfsim(wake_all=True) == bytes.fromhex("860123456789ABCD")


# Arguments the library would refuse (or that cannot reach it whole): Refused, nothing sent.
REFUSED = [
    ("display text over 291 bytes", lambda r: r.display("x" * 292)),
    ("display text with NUL", lambda r: r.display(b"a\0b")),
    ("display text not GBK", lambda r: r.display("\U0001F600")),
    ("display text with the euro sign, which GBK lacks", lambda r: r.display("5€")),
    ("key of 5 bytes", lambda r: r.authenticate(1, b"\xff" * 5)),
    ("key type C", lambda r: r.authenticate(1, FF, key_type="C")),
    ("block data of 15 bytes", lambda r: r.write_block(1, 1, bytes(15))),
    ("sector not an int", lambda r: r.read_block("1", 0)),
    ("beep value over C int", lambda r: r.beep(2**31)),
    ("APDU of 4 bytes", lambda r: r.apdu("card", bytes(4))),
    ("APDU of 200 bytes", lambda r: r.apdu("rfsim", bytes(4) + b"\xc3" + bytes(195))),
    ("case 4 APDU to the card", lambda r: r.apdu("card", SELECT_PSE + b"\x00")),
    ("Lc over the data (SAM)", lambda r: r.apdu("sam1", bytes.fromhex("00A4040002") + b"\x3f")),
    ("Lc over the data (RF-SIM)", lambda r: r.apdu("rfsim", bytes.fromhex("00A4040003AABB"))),
    ("unknown unit", lambda r: r.apdu("sam3", bytes(5))),
    ("SAM slot 3", lambda r: r.sam_power_on(3)),
    ("purse on the display edition", lambda r: r.purse()),
]


@pytest.mark.vorlex(trace=True)
@pytest.mark.parametrize("call", [row[1] for row in REFUSED], ids=[row[0] for row in REFUSED])
def test_refused_sends_nothing(vorlex_sim, vorlex_reader, call):
    mark = len(vorlex_sim.lines)
    with pytest.raises(vorlex.Refused):
        call(vorlex_reader)
    assert sent_since(vorlex_sim, vorlex_reader, mark) == []


def test_closed_reader_is_refused(vorlex_reader):
    vorlex_reader.close()
    vorlex_reader.close()
    with pytest.raises(vorlex.Refused):
        vorlex_reader.beep()


@pytest.mark.vorlex(silent=True)
def test_silent_reader_is_no_answer(vorlex_reader):
    with pytest.raises(vorlex.NoAnswer) as error:
        vorlex_reader.request_card()
    assert (error.value.status, error.value.call) == (1, "REQ_14443_CARD")
    assert "失败" in error.value.message
