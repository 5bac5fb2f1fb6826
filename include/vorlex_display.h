/* VORLEX display edition: the common calls plus the reader's LED display. */
#ifndef VORLEX_DISPLAY_H_
#define VORLEX_DISPLAY_H_

#include "vorlex.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VORLEX_DISPLAY_TEXT_MAX 291

/* Shows text (its bytes up to the NUL, unchanged, at most VORLEX_DISPLAY_TEXT_MAX) and sends
 * value after it as BELL_BEEP does. A longer text is refused with 1 before anything is sent.
 * Result only, no message. */
VORLEX_API int VORLEX_CALL LED_DISPLAY(ReaderHandle reader, const char* text, int value);

#ifdef __cplusplus
}
#endif

#endif /* VORLEX_DISPLAY_H_ */
