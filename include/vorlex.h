/*
 * VORLEX: drive a contactless card reader on a serial port.
 *
 * This header declares the calls that both editions of the library export. The display
 * edition adds LED_DISPLAY (vorlex_display.h); the e-purse edition adds the two purchase
 * modules (vorlex_epurse.h). Both editions ship as a library of the same name, one per folder.
 *
 * Every command is one framed request to the reader and one framed answer (115200 baud, 8N1,
 * up to three attempts), on the caller's thread. Conventions shared by all commands:
 *
 *  - Result: 1 when the exchange failed three times, when an argument was rejected before
 *    anything was sent, or when the answer was too short for the outputs (see below);
 *    otherwise the reader's status word (first answer byte x 256 + second), 0 meaning success.
 *    A reader status of 0x0001 and the result 1 look alike; the message text tells them apart.
 *  - message: a caller buffer of at least 50 bytes (VORLEX_MESSAGE_SIZE). All 50 bytes are
 *    cleared, then the command's failure text (GBK) is written before the exchange and replaced
 *    by its success text on a zero status. Texts are at most 27 bytes plus the NUL.
 *  - Outputs are written only when the status is 0. On every other path they are untouched.
 *  - Hexadecimal text: two characters per byte; outputs upper case with a NUL (n bytes need
 *    2n + 1 bytes of space); inputs in either case.
 *  - Byte-sized arguments travel as int; only their low 8 bits are used.
 *  - An answer with fewer than two payload bytes carries no status: the result is 1 with the
 *    failure text. A zero status whose answer is shorter than the bytes a command takes its
 *    outputs from is also 1 with the failure text, outputs untouched.
 *  - A null pointer where the command needs a buffer or text (the message buffer included) is
 *    a rejected argument: the result is 1 and nothing is sent.
 *  - Request bytes that a hexadecimal input text does not supply (it ends early or holds a
 *    character that is not a hexadecimal digit) are sent as zeros.
 *  - No locks: calls on one handle must not overlap. Different handles are independent; the
 *    APDU calls keep their parsed APDU in the call's own storage.
 */
#ifndef VORLEX_H_
#define VORLEX_H_

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VORLEX_CALL __stdcall
#else
#define VORLEX_CALL
#endif

#if defined(VORLEX_BUILDING_LIBRARY)
#if defined(_WIN32)
#define VORLEX_API /* the export list (.def) names the exports */
#else
#define VORLEX_API __attribute__((visibility("default")))
#endif
#elif defined(_WIN32)
#define VORLEX_API __declspec(dllimport)
#else
#define VORLEX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The opened serial port; null means no port. The caller owns it until Close_Reader. */
typedef void* ReaderHandle;

#define VORLEX_MESSAGE_SIZE 50
/* Buffer sizes that hold any answer the reader can send. */
#define VORLEX_VERSION_SIZE 293
#define VORLEX_ATS_TEXT_SIZE 583
#define VORLEX_REPLY_TEXT_SIZE 587

/* ---- Port ------------------------------------------------------------------------------- */

/* Opens the reader's port exclusively and sets 115200 baud, no parity, 8 data bits, 1 stop
 * bit. Returns null on any failure (no such port, port busy, settings refused).
 *  e-purse edition: port_name is "COM<n>" (upper case), null meaning COM1. On Windows this opens
 *    "\\.\COM<n>"; on Linux COM1-COM32 open /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31 and
 *    COM65-COM96 /dev/ttyACM0-31; other numbers fail.
 *  display edition: port_name is passed to the system unchanged (on Linux a device path);
 *    null fails. */
VORLEX_API ReaderHandle VORLEX_CALL Open_Reader(const char* port_name);

/* 0 when the port was closed; -105 when closing failed (also a null or already closed handle). */
VORLEX_API int VORLEX_CALL Close_Reader(ReaderHandle reader);

/* ---- Reader housekeeping ------------------------------------------------------------------ */

/* Sounds the beeper. value is sent as (value / 256) and (value % 256), each cut to 8 bits with
 * C's signed division: 0-65535 big-endian, -1 as 00 FF. Result only, no message. */
VORLEX_API int VORLEX_CALL BELL_BEEP(ReaderHandle reader, int value);

/* Copies the reader's version data (every answer byte after the status, up to 293 bytes) to
 * version, unchanged and without a terminator; bytes after them are not touched. */
VORLEX_API int VORLEX_CALL GET_HARDWARE_VER(ReaderHandle reader, unsigned char* version,
                                            char* message);
VORLEX_API int VORLEX_CALL GET_SOFTWARE_VER(ReaderHandle reader, unsigned char* version,
                                            char* message);

/* ---- ISO 14443-A card and Mifare Classic ------------------------------------------------- */

/* Looks for a card; mode's lowest bit is sent. On success atqa receives 4 characters + NUL
 * (5 bytes) and uid 8 characters + NUL (9 bytes). Needs an 8-byte answer. */
VORLEX_API int VORLEX_CALL REQ_14443_CARD(ReaderHandle reader, int mode, char* atqa, char* uid,
                                          char* message);

/* The card's answer to select: every answer byte after the status except the last two, as hex
 * text (empty when there are none). VORLEX_ATS_TEXT_SIZE bytes hold any answer. */
VORLEX_API int VORLEX_CALL ATS_14443_CARD(ReaderHandle reader, char* ats, char* message);

/* Sector, key type and block are reduced before they are sent:
 *   e-purse edition: sector unchanged (0-255), key type and block modulo 16;
 *   display edition: sector modulo 15, key type modulo 2, block modulo 4.
 * key: its first 12 hex characters (6 bytes) are sent. */
VORLEX_API int VORLEX_CALL MIFS_AUTH(ReaderHandle reader, int sector, int key_type, const char* key,
                                     char* message);

/* On success data receives the 16 block bytes as 32 characters + NUL (33 bytes). Needs an
 * 18-byte answer. */
VORLEX_API int VORLEX_CALL MIFS_READ(ReaderHandle reader, int sector, int block, char* data,
                                     char* message);

/* data: its first 32 hex characters (16 bytes) are written to the block. */
VORLEX_API int VORLEX_CALL MIFS_WRITE(ReaderHandle reader, int sector, int block, const char* data,
                                      char* message);

VORLEX_API int VORLEX_CALL MIFS_HALT(ReaderHandle reader, char* message);

/* ---- APDUs to the contactless CPU card and the two SAM slots ------------------------------ */

/* apdu: hex text of 5 to 199 bytes, at most 398 characters. Accepted are a header and one byte
 * (ISO case 2: Lc 0, Le that byte) and a header, Lc and exactly Lc data bytes (case 3: Le 0).
 * An odd length, fewer than 5 bytes, Lc not matching the data, a case 4 APDU, a character that
 * is not a hex digit, or more than 398 characters: result 1 with "apdu数据错误" and nothing sent.
 * On success reply receives every answer byte after the status as hex text
 * (VORLEX_REPLY_TEXT_SIZE bytes hold any answer). */
VORLEX_API int VORLEX_CALL CPUCARD_APDU(ReaderHandle reader, const char* apdu, char* reply,
                                        char* message);
VORLEX_API int VORLEX_CALL SAMCAR1_APDU(ReaderHandle reader, const char* apdu, char* reply,
                                        char* message);
VORLEX_API int VORLEX_CALL SAMCAR2_APDU(ReaderHandle reader, const char* apdu, char* reply,
                                        char* message);

/* Resets the SAM; on success reset_answer receives its answer to reset as hex text. */
VORLEX_API int VORLEX_CALL SAMCAR1_POWER_ON(ReaderHandle reader, char* reset_answer, char* message);
VORLEX_API int VORLEX_CALL SAMCAR2_POWER_ON(ReaderHandle reader, char* reset_answer, char* message);
VORLEX_API int VORLEX_CALL SAMCAR1_POWER_OFF(ReaderHandle reader, char* message);
VORLEX_API int VORLEX_CALL SAMCAR2_POWER_OFF(ReaderHandle reader, char* message);

/* ---- RF-SIM card ------------------------------------------------------------------------ */

/* mode's lowest bit is sent. On success identifier receives 8 bytes as 16 characters + NUL
 * (17 bytes). Needs a 10-byte answer. */
VORLEX_API int VORLEX_CALL REQ_RFSIM_CARD(ReaderHandle reader, int mode, char* identifier,
                                          char* message);
VORLEX_API int VORLEX_CALL RFSIM_HALT(ReaderHandle reader, char* message);

/* Lenient APDU rule: n = length / 2 bytes (an odd last character is ignored). 5 bytes: Lc 0,
 * Le byte 4. Otherwise Lc = byte 4 and the Lc bytes after it are the data; n = Lc + 5 gives
 * Le 0, a longer text gives Le = its last byte (bytes between the data and the last are not
 * sent). Fewer than 5 bytes, fewer data bytes than Lc announces, a character that is not a hex
 * digit, or more than 399 characters: result 1 with "apdu数据错误", nothing sent. */
VORLEX_API int VORLEX_CALL RFSIMCARD_APDU(ReaderHandle reader, const char* apdu, char* reply,
                                          char* message);

#ifdef __cplusplus
}
#endif

#endif /* VORLEX_H_ */
