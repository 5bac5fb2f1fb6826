// APDU relay to the contactless CPU card and the two SAM slots, and the SAMs' power.
#include "commands/apdu.h"

#include <cstring>

#include "common/command.h"
#include "common/hex_text.h"

namespace vorlex {

bool ParseApdu(const char* text, ApduRule rule, ApduRecord& record) noexcept {
  // The lenient rule ignores an odd last character.
  const std::size_t max_chars = 2 * kMaxApduBytes + (rule == ApduRule::kLenient ? 1 : 0);
  const std::size_t length = BoundedTextLength(text, max_chars);
  if (length > max_chars) return false;
  if (rule == ApduRule::kStrict && length % 2 != 0) return false;
  const std::size_t count = length / 2;
  // The conversion buffer holds the bytes and the zero byte written after them.
  std::uint8_t bytes[kApduConversionBuffer];
  // Every byte that goes out must come from the caller's text: a non-digit refuses it.
  return HexToBytes(text, bytes, 2 * count) && ApduRecordOf({bytes, count}, rule, record);
}

int RelayApdu(ReaderHandle reader, CommandCode command, ApduRule rule, const char* apdu,
              char* reply, char* message) noexcept {
  if (message == nullptr) return kCommandFailed;
  WriteMessage(message, MessagesOf(Texts::kApduDataError).failure);
  // Nothing is read from the record across calls, so it lives in this call: two threads that
  // drive two readers never share it, and no per-thread storage outlives the call.
  ApduRecord record{};
  if (apdu == nullptr || reply == nullptr || !ParseApdu(apdu, rule, record)) {
    return kCommandFailed;
  }
  return RunCommand(reader, message, Texts::kApdu, ApduRequest(command, record), 2,
                    [&](const Answer& answer) { answer.HexText(2, answer.size() - 2, reply); });
}

namespace {

int PowerOnSam(ReaderHandle reader, std::uint8_t slot, Texts texts, char* reset_answer,
               char* message) {
  Request request(commands::SamPowerOn(slot));
  request.Require(reset_answer);
  return RunCommand(reader, message, texts, request, 2, [&](const Answer& answer) {
    answer.HexText(2, answer.size() - 2, reset_answer);
  });
}

int PowerOffSam(ReaderHandle reader, std::uint8_t slot, Texts texts, char* message) {
  return RunCommand(reader, message, texts, Request(commands::SamPowerOff(slot)));
}

}  // namespace
}  // namespace vorlex

using vorlex::ApduRule;
using vorlex::Texts;
namespace commands = vorlex::commands;

extern "C" {

VORLEX_API int VORLEX_CALL CPUCARD_APDU(ReaderHandle reader, const char* apdu, char* reply,
                                        char* message) {
  return vorlex::RelayApdu(reader, commands::kCardApdu, ApduRule::kStrict, apdu, reply, message);
}

VORLEX_API int VORLEX_CALL SAMCAR1_APDU(ReaderHandle reader, const char* apdu, char* reply,
                                        char* message) {
  return vorlex::RelayApdu(reader, commands::SamApdu(commands::kSamSlot1), ApduRule::kStrict, apdu,
                           reply, message);
}

VORLEX_API int VORLEX_CALL SAMCAR2_APDU(ReaderHandle reader, const char* apdu, char* reply,
                                        char* message) {
  return vorlex::RelayApdu(reader, commands::SamApdu(commands::kSamSlot2), ApduRule::kStrict, apdu,
                           reply, message);
}

VORLEX_API int VORLEX_CALL SAMCAR1_POWER_ON(ReaderHandle reader, char* reset_answer,
                                            char* message) {
  return vorlex::PowerOnSam(reader, commands::kSamSlot1, Texts::kSam1PowerOn, reset_answer,
                            message);
}

VORLEX_API int VORLEX_CALL SAMCAR2_POWER_ON(ReaderHandle reader, char* reset_answer,
                                            char* message) {
  return vorlex::PowerOnSam(reader, commands::kSamSlot2, Texts::kSam2PowerOn, reset_answer,
                            message);
}

VORLEX_API int VORLEX_CALL SAMCAR1_POWER_OFF(ReaderHandle reader, char* message) {
  return vorlex::PowerOffSam(reader, commands::kSamSlot1, Texts::kSam1PowerOff, message);
}

VORLEX_API int VORLEX_CALL SAMCAR2_POWER_OFF(ReaderHandle reader, char* message) {
  return vorlex::PowerOffSam(reader, commands::kSamSlot2, Texts::kSam2PowerOff, message);
}

}  // extern "C"
