// The reader itself: beeper and version numbers.
#include <algorithm>

#include "commands/value_bytes.h"
#include "common/command.h"
#include "vorlex.h"

namespace vorlex {
namespace {

int ReadVersion(ReaderHandle reader, std::uint8_t code, Texts texts, unsigned char* version,
                char* message) {
  Request request(0xFF, code);
  request.Require(version);
  return RunCommand(reader, message, texts, request, 2, [&](const Answer& answer) {
    const auto data = answer.Bytes(2, answer.size() - 2);
    std::copy(data.begin(), data.end(), version);
  });
}

}  // namespace
}  // namespace vorlex

extern "C" {

VORLEX_API int VORLEX_CALL BELL_BEEP(ReaderHandle reader, int value) {
  vorlex::Request request(0x01, 0x03);
  vorlex::AppendValueBytes(request, value);
  return vorlex::RunSilentCommand(reader, request);
}

VORLEX_API int VORLEX_CALL GET_HARDWARE_VER(ReaderHandle reader, unsigned char* version,
                                            char* message) {
  return vorlex::ReadVersion(reader, 0x01, vorlex::Texts::kHardwareVersion, version, message);
}

VORLEX_API int VORLEX_CALL GET_SOFTWARE_VER(ReaderHandle reader, unsigned char* version,
                                            char* message) {
  return vorlex::ReadVersion(reader, 0x02, vorlex::Texts::kSoftwareVersion, version, message);
}

}  // extern "C"
