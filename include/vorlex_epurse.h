/* VORLEX e-purse edition: the common calls plus the CPU card PBOC purchase module (CPU_PBOC_*)
 * and the RF-SIM purchase module (RFSIM_*). Both modules take the same calls and fill the same
 * PurchaseRecord; they differ in the card identifier (4 bytes CPU card, 8 bytes RF-SIM). */
#ifndef VORLEX_EPURSE_H_
#define VORLEX_EPURSE_H_

#include <stddef.h>

#include "vorlex.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The caller-owned 140-byte record of one purchase. Byte positions are fixed; integers are in
 * the platform's byte order, built from answer bytes that arrive most significant first. Texts
 * are hex text with a NUL; bytes after a written NUL keep their value. The library never writes
 * bytes 0-14, 57-59, 99 and 138-139, nor Amount and PrepData. */
#pragma pack(push, 1)
typedef struct PurchaseRecord {
  unsigned char CallerBytes[15]; /*   0-14  the caller's own */
  char CardId[21];               /*  15-35  8 characters + NUL (CPU card), 16 + NUL (RF-SIM) */
  char CardInfo[21];             /*  36-56  20 characters + NUL */
  unsigned char Unused57[3];     /*  57-59 */
  int32_t Amount;                /*  60-63  in: amount of the purchase */
  char PrepData[16];             /*  64-79  in: first 14 hex characters (7 bytes) are sent */
  uint32_t PrepValue32;          /*  80-83 */
  uint32_t PrepValue16;          /*  84-87  0-65535 */
  unsigned char PrepByte1;       /*  88 */
  unsigned char PrepByte2;       /*  89 */
  char PrepText[10];             /*  90-99  8 characters + NUL; byte 99 not written */
  uint32_t CardValue24;          /* 100-103 0-16777215 */
  /* 104-110: the fourth purchase value is 8 characters, one more than fits before ResultText1.
   * This field holds its first 6 characters (the three most significant bytes) and a NUL, so
   * that it never runs into or overwrites ResultText1. */
  char ResultText4[7];
  char ResultText1[9]; /* 111-119 8 characters + NUL */
  char ResultText2[9]; /* 120-128 8 characters + NUL */
  char ResultText3[9]; /* 129-137 8 characters + NUL */
  unsigned char Unused138[2];
} PurchaseRecord;
#pragma pack(pop)

#define VORLEX_PURCHASE_RECORD_SIZE 140

/* Every position is checked at compile time: with static_assert where the language has it
 * (C11, C++11, Visual C++ 2010), elsewhere with an array type whose size is -1 when a position
 * is wrong. */
#if defined(__cplusplus) && (__cplusplus >= 201103L || (defined(_MSC_VER) && _MSC_VER >= 1600))
#define VORLEX_RECORD_CHECK(name, condition) static_assert(condition, #name " position")
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VORLEX_RECORD_CHECK(name, condition) _Static_assert(condition, #name " position")
#else
#define VORLEX_RECORD_CHECK(name, condition) \
  typedef char VorlexRecordCheck_##name[(condition) ? 1 : -1]
#endif
#define VORLEX_RECORD_AT(field, position) \
  VORLEX_RECORD_CHECK(field, offsetof(PurchaseRecord, field) == (position))
VORLEX_RECORD_AT(CardId, 15);
VORLEX_RECORD_AT(CardInfo, 36);
VORLEX_RECORD_AT(Amount, 60);
VORLEX_RECORD_AT(PrepData, 64);
VORLEX_RECORD_AT(PrepValue32, 80);
VORLEX_RECORD_AT(PrepValue16, 84);
VORLEX_RECORD_AT(PrepByte1, 88);
VORLEX_RECORD_AT(PrepByte2, 89);
VORLEX_RECORD_AT(PrepText, 90);
VORLEX_RECORD_AT(CardValue24, 100);
VORLEX_RECORD_AT(ResultText4, 104);
VORLEX_RECORD_AT(ResultText1, 111);
VORLEX_RECORD_AT(ResultText2, 120);
VORLEX_RECORD_AT(ResultText3, 129);
VORLEX_RECORD_AT(Unused138, 138);
VORLEX_RECORD_CHECK(size, sizeof(PurchaseRecord) == VORLEX_PURCHASE_RECORD_SIZE);
#undef VORLEX_RECORD_AT
#undef VORLEX_RECORD_CHECK

/* Each module's five calls. On success:
 *  *_INIT_MODULE   module_data receives 6 bytes as 12 characters + NUL (13 bytes). Needs an
 *                  8-byte answer.
 *  *_REQA_CARD     sends parameter, Amount (big-endian) and the 7 bytes of PrepData from the
 *                  copy passed by value; fills CardId, CardInfo, PrepText, PrepByte1,
 *                  PrepByte2, CardValue24, PrepValue16 and PrepValue32 of *record, which may be
 *                  the very record passed by value. Needs a 31-byte (CPU) / 35-byte (RF-SIM)
 *                  answer.
 *  *_PURCHASE      fills ResultText1-4 from the four answer values. An answer of fewer than 10
 *                  bytes gives 1 and leaves the record alone. From 10 to 17 bytes it succeeds,
 *                  and every result field whose four answer bytes did not all arrive receives
 *                  the empty text.
 *  *_GET_BALANCE   *balance receives the 4-byte balance. Needs a 6-byte answer.
 *  *_GET_CARDINFO  fills CardId, CardInfo and CardValue24; the second argument is not read and
 *                  the 12 request bytes after the command are zeros. Needs a 19-byte (CPU) /
 *                  23-byte (RF-SIM) answer. */
VORLEX_API int VORLEX_CALL CPU_PBOC_INIT_MODULE(ReaderHandle reader, int parameter1, int parameter2,
                                                char* module_data, char* message);
VORLEX_API int VORLEX_CALL CPU_PBOC_REQA_CARD(ReaderHandle reader, int parameter,
                                              PurchaseRecord input, PurchaseRecord* record,
                                              char* message);
VORLEX_API int VORLEX_CALL CPU_PBOC_PURCHASE(ReaderHandle reader, PurchaseRecord* record,
                                             char* message);
VORLEX_API int VORLEX_CALL CPU_PBOC_GET_BALANCE(ReaderHandle reader, int32_t* balance,
                                                char* message);
VORLEX_API int VORLEX_CALL CPU_PBOC_GET_CARDINFO(ReaderHandle reader, int unused,
                                                 PurchaseRecord* record, char* message);

VORLEX_API int VORLEX_CALL RFSIM_INIT_MODULE(ReaderHandle reader, int parameter1, int parameter2,
                                             char* module_data, char* message);
VORLEX_API int VORLEX_CALL RFSIM_REQA_CARD(ReaderHandle reader, int parameter, PurchaseRecord input,
                                           PurchaseRecord* record, char* message);
VORLEX_API int VORLEX_CALL RFSIM_PURCHASE(ReaderHandle reader, PurchaseRecord* record,
                                          char* message);
VORLEX_API int VORLEX_CALL RFSIM_GET_BALANCE(ReaderHandle reader, int32_t* balance, char* message);
VORLEX_API int VORLEX_CALL RFSIM_GET_CARDINFO(ReaderHandle reader, int unused,
                                              PurchaseRecord* record, char* message);

#ifdef __cplusplus
}
#endif

#endif /* VORLEX_EPURSE_H_ */
