// RF-SIM cards (command class 0x05).
#include "commands/apdu.h"
#include "common/command.h"

namespace {
constexpr std::size_t kIdentifierAnswer = 10;  // status, 8 identifier bytes
}  // namespace

using vorlex::Answer;
using vorlex::Request;
using vorlex::Texts;

extern "C" {

VORLEX_API int VORLEX_CALL REQ_RFSIM_CARD(ReaderHandle reader, int mode, char* identifier,
                                          char* message) {
  Request request(vorlex::commands::kRfsimRequest);
  request.Byte(mode & 1).Require(identifier);
  return vorlex::RunCommand(reader, message, Texts::kCardRequest, request, kIdentifierAnswer,
                            [&](const Answer& answer) { answer.HexText(2, 8, identifier); });
}

VORLEX_API int VORLEX_CALL RFSIM_HALT(ReaderHandle reader, char* message) {
  return vorlex::RunCommand(reader, message, Texts::kCardHalt,
                            Request(vorlex::commands::kRfsimHalt));
}

VORLEX_API int VORLEX_CALL RFSIMCARD_APDU(ReaderHandle reader, const char* apdu, char* reply,
                                          char* message) {
  return vorlex::RelayApdu(reader, vorlex::commands::kRfsimApdu, vorlex::ApduRule::kLenient, apdu,
                           reply, message);
}

}  // extern "C"
