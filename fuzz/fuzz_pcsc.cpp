// Drives the PC/SC driver's entry points as pcscd would, with fuzzed APDUs from programs and a
// reader that answers fuzzed bytes (lib/pcsc over the memory port). Checks that nothing reads or
// writes past a buffer (the sanitizers), and that what the driver hands back fits: a response
// within the room pcscd gave and at least a status word, an ATR of 1 to 33 bytes, every frame
// written at most 300 bytes.
//
// Input layout (see fuzz/pcsc_seeds.py): operations until the input ends, each
//   op byte (bits 0-1 slot, bits 2-4 action: 0 power up, 1 transmit, 2 presence, 3 power down,
//   4 reset, 5 feature request, 6 TLV properties, 7 ATR capability),
//   for transmit: APDU length (BE16, up to 300) + APDU, response room (BE16, up to 600),
//   then the reader's answers: a count byte (up to 8), each a header (BE16: bit 15 the bytes as
//   they are, else a payload wrapped in a well-formed frame; low 10 bits the length) + bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "memory_port.h"

namespace {

using vorlex::fuzz::Attempt;
using vorlex::fuzz::Bytes;

#define EXPECT(condition, what)                              \
  do {                                                       \
    if (!(condition)) {                                      \
      std::fprintf(stderr, "property violated: %s\n", what); \
      std::abort();                                          \
    }                                                        \
  } while (0)

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  unsigned U16() { return Byte() << 8 | Byte(); }
  Bytes Take(std::size_t count) {
    count = count < size_ - at_ ? count : size_ - at_;
    Bytes bytes(data_ + at_, data_ + at_ + count);
    at_ += count;
    return bytes;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_, at_ = 0;
};

Bytes Frame(const Bytes& payload) {
  Bytes frame = {0x02, static_cast<std::uint8_t>(payload.size() >> 8),
                 static_cast<std::uint8_t>(payload.size())};
  unsigned sum = frame[1] + frame[2];
  for (std::uint8_t byte : payload) {
    frame.push_back(byte);
    sum += byte;
  }
  frame.push_back(static_cast<std::uint8_t>(sum));
  frame.push_back(0x03);
  return frame;
}

void ScriptAnswers(Input& in) {
  std::vector<Attempt> attempts;
  const unsigned count = in.Byte() % 9;
  for (unsigned i = 0; i < count; ++i) {
    const unsigned header = in.U16();
    Bytes bytes = in.Take(header & 0x3FF);
    attempts.push_back({(header & 0x8000) != 0 ? bytes : Frame(bytes), false, false});
  }
  vorlex::fuzz::ResetPort(attempts);
}

void CheckFrames() {
  for (const Bytes& frame : vorlex::fuzz::Log().frames) {
    EXPECT(frame.size() <= 300 && !frame.empty() && frame[0] == 0x02, "a frame over 300 bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  char device[] = "/dev/fuzz";
  vorlex::fuzz::ResetPort({});
  for (DWORD slot = 0; slot < 4; ++slot) {
    EXPECT(IFDHCreateChannelByName(slot, device) == IFD_SUCCESS, "the channel did not open");
  }
  for (int operations = 0; operations < 16 && !in.done(); ++operations) {
    const std::uint8_t op = in.Byte();
    const DWORD lun = op & 3;
    const int action = op >> 2 & 7;
    Bytes apdu;
    DWORD room = 0;
    if (action == 1) {
      apdu = in.Take(in.U16() % 301);
      room = in.U16() % 601;
    }
    ScriptAnswers(in);
    UCHAR buffer[600];
    DWORD length = sizeof buffer;
    switch (action) {
      case 0:
      case 4:
        length = MAX_ATR_SIZE;
        if (IFDHPowerICC(lun, action == 0 ? IFD_POWER_UP : IFD_RESET, buffer, &length) ==
            IFD_SUCCESS) {
          EXPECT(length >= 1 && length <= MAX_ATR_SIZE, "an ATR of the wrong size");
        }
        break;
      case 1: {
        length = room;
        SCARD_IO_HEADER header{SCARD_PROTOCOL_T1, 0};
        if (IFDHTransmitToICC(lun, header, apdu.data(), static_cast<DWORD>(apdu.size()), buffer,
                              &length, nullptr) == IFD_SUCCESS) {
          EXPECT(length >= 2 && length <= room, "a response that does not fit");
        } else {
          EXPECT(length == 0, "a failed transmit with a response");
        }
        break;
      }
      case 2:
        (void)IFDHICCPresence(lun);
        break;
      case 3:
        length = MAX_ATR_SIZE;
        (void)IFDHPowerICC(lun, IFD_POWER_DOWN, buffer, &length);
        break;
      case 5:
      case 6: {
        DWORD returned = 0;
        const DWORD code = action == 5 ? CM_IOCTL_GET_FEATURE_REQUEST : SCARD_CTL_CODE(3618);
        const DWORD rx = in.Byte() % 32;
        if (IFDHControl(lun, code, nullptr, 0, buffer, rx, &returned) == IFD_SUCCESS) {
          EXPECT(returned <= rx, "control output past its room");
        }
        break;
      }
      default:
        length = in.Byte() % 40;
        if (IFDHGetCapabilities(lun, TAG_IFD_ATR, &length, buffer) == IFD_SUCCESS) {
          EXPECT(length <= MAX_ATR_SIZE, "an ATR capability too long");
        }
        break;
    }
    CheckFrames();
  }
  for (DWORD slot = 0; slot < 4; ++slot) IFDHCloseChannel(slot);
  return 0;
}
