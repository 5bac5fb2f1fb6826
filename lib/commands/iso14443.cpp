// ISO 14443-A cards in the field and Mifare Classic blocks (command class 0x04).
#include "commands/reader_commands.h"
#include "common/command.h"
#include "editions/edition.h"
#include "vorlex.h"

namespace {

constexpr std::size_t kKeyChars = 12;
constexpr std::size_t kBlockChars = 32;
constexpr std::size_t kCardAnswer = 8;    // status, ATQA (2), UID (4)
constexpr std::size_t kBlockAnswer = 18;  // status, 16 block bytes
constexpr std::size_t kAtsTrailer = 2;    // the reader's two closing bytes are not ATS

}  // namespace

using vorlex::Answer;
using vorlex::Request;
using vorlex::RunCommand;
using vorlex::Texts;
namespace edition = vorlex::edition;
namespace commands = vorlex::commands;

extern "C" {

VORLEX_API int VORLEX_CALL REQ_14443_CARD(ReaderHandle reader, int mode, char* atqa, char* uid,
                                          char* message) {
  Request request(commands::kCardRequest);
  request.Byte(mode & 1).Require(atqa).Require(uid);
  return RunCommand(reader, message, Texts::kCardRequest, request, kCardAnswer,
                    [&](const Answer& answer) {
                      answer.HexText(2, 2, atqa);
                      answer.HexText(4, 4, uid);
                    });
}

VORLEX_API int VORLEX_CALL ATS_14443_CARD(ReaderHandle reader, char* ats, char* message) {
  Request request(commands::kCardAts);
  request.Require(ats);
  return RunCommand(reader, message, Texts::kAts, request, 2, [&](const Answer& answer) {
    const std::size_t data = answer.size() - 2;
    answer.HexText(2, data > kAtsTrailer ? data - kAtsTrailer : 0, ats);
  });
}

VORLEX_API int VORLEX_CALL MIFS_AUTH(ReaderHandle reader, int sector, int key_type, const char* key,
                                     char* message) {
  Request request(commands::kMifareAuth);
  request.Byte(edition::MifareSector(sector))
      .Byte(edition::MifareKeyType(key_type))
      .HexText(key, kKeyChars);
  return RunCommand(reader, message, Texts::kMifareAuth, request);
}

VORLEX_API int VORLEX_CALL MIFS_READ(ReaderHandle reader, int sector, int block, char* data,
                                     char* message) {
  Request request(commands::kMifareRead);
  request.Byte(edition::MifareSector(sector)).Byte(edition::MifareBlock(block)).Require(data);
  return RunCommand(reader, message, Texts::kMifareRead, request, kBlockAnswer,
                    [&](const Answer& answer) { answer.HexText(2, 16, data); });
}

VORLEX_API int VORLEX_CALL MIFS_WRITE(ReaderHandle reader, int sector, int block, const char* data,
                                      char* message) {
  Request request(commands::kMifareWrite);
  request.Byte(edition::MifareSector(sector))
      .Byte(edition::MifareBlock(block))
      .HexText(data, kBlockChars);
  return RunCommand(reader, message, Texts::kMifareWrite, request);
}

VORLEX_API int VORLEX_CALL MIFS_HALT(ReaderHandle reader, char* message) {
  return RunCommand(reader, message, Texts::kCardHalt, Request(commands::kCardHalt));
}

}  // extern "C"
