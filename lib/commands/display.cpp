// The LED display (display edition).
#include "commands/value_bytes.h"
#include "common/command.h"
#include "common/hex_text.h"
#include "vorlex_display.h"

extern "C" {

VORLEX_API int VORLEX_CALL LED_DISPLAY(ReaderHandle reader, const char* text, int value) {
  vorlex::Request request(0x01, 0x04);
  if (text == nullptr) return vorlex::kCommandFailed;
  // Text, value and command must fit one frame: a longer text is refused, never cut.
  const std::size_t length = vorlex::BoundedTextLength(text, VORLEX_DISPLAY_TEXT_MAX);
  if (length > VORLEX_DISPLAY_TEXT_MAX) return vorlex::kCommandFailed;
  request.Bytes({reinterpret_cast<const std::uint8_t*>(text), length});
  vorlex::AppendValueBytes(request, value);
  return vorlex::RunSilentCommand(reader, request);
}

}  // extern "C"
