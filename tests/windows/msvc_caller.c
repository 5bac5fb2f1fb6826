/* A caller built the way Visual C++ builds one: clang in MSVC mode, linked by lld-link against
 * the package's vorlex.lib. There is no Microsoft C runtime here, so it has no CRT at all: its
 * own entry point, KERNEL32 for output and exit, and the two memory routines the compiler may
 * call for the record passed by value.
 *
 *   msvc_caller.exe      opens COM1, beeps, searches a card with the record passed by value and
 *                        aimed at as the output, prints key=value lines, exits 0 */
#include "vorlex_epurse.h"

__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long count,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

/* Byte loops through volatile pointers, so that the compiler cannot turn them into calls to
 * themselves. */
void* memcpy(void* to, const void* from, size_t count) {
  volatile unsigned char* out = (volatile unsigned char*)to;
  const volatile unsigned char* in = (const volatile unsigned char*)from;
  while (count-- != 0) *out++ = *in++;
  return to;
}

void* memset(void* to, int value, size_t count) {
  volatile unsigned char* out = (volatile unsigned char*)to;
  while (count-- != 0) *out++ = (unsigned char)value;
  return to;
}

static char line[160];
static unsigned line_length;

static void Put(const char* text) {
  while (*text != '\0' && line_length < sizeof line - 1) line[line_length++] = *text++;
}

static void PutUnsigned(unsigned long value) {
  char digits[12];
  int count = 0;
  do {
    digits[count++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0 && line_length < sizeof line - 1) line[line_length++] = digits[--count];
}

static void PutHexByte(unsigned char byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  char pair[3];
  pair[0] = kDigits[byte >> 4];
  pair[1] = kDigits[byte & 15];
  pair[2] = '\0';
  Put(pair);
}

static void EndLine(void) {
  unsigned long written = 0;
  line[line_length++] = '\n';
  WriteFile(GetStdHandle((unsigned long)-11), line, line_length, &written, 0);
  line_length = 0;
}

static void PrintNumber(const char* key, long value) {
  Put(key);
  Put("=");
  if (value < 0) {
    Put("-");
    value = -value;
  }
  PutUnsigned((unsigned long)value);
  EndLine();
}

static void PrintText(const char* key, const char* value) {
  Put(key);
  Put("=");
  Put(value);
  EndLine();
}

static int Same(const unsigned char* a, const unsigned char* b, unsigned first, unsigned count) {
  unsigned i;
  for (i = first; i < first + count; ++i) {
    if (a[i] != b[i]) return 0;
  }
  return 1;
}

void VorlexCallerMain(void) {
  PurchaseRecord record, before;
  const unsigned char* now = (const unsigned char*)&record;
  const unsigned char* old = (const unsigned char*)&before;
  char message[VORLEX_MESSAGE_SIZE];
  ReaderHandle reader;
  int search;

  memset(&record, 0x5C, sizeof record);
  record.Amount = 100;
  memset(record.PrepData, 0, sizeof record.PrepData);
  memcpy(record.PrepData, "0123456789ABCD", 14);
  before = record;

  reader = Open_Reader("COM1");
  PrintText("open", reader != 0 ? "ok" : "null");
  if (reader == 0) ExitProcess(2);
  PrintNumber("beep", BELL_BEEP(reader, 100));

  search = CPU_PBOC_REQA_CARD(reader, 6, record, &record, message);
  PrintNumber("search", search);
  PrintText("CardId", record.CardId);
  PrintText("CardInfo", record.CardInfo);
  PrintText("PrepText", record.PrepText);
  Put("PrepBytes=");
  PutHexByte(record.PrepByte1);
  PutHexByte(record.PrepByte2);
  EndLine();
  PrintNumber("CardValue24", (long)record.CardValue24);
  PrintNumber("PrepValue16", (long)record.PrepValue16);
  Put("PrepValue32=");
  PutUnsigned(record.PrepValue32);
  EndLine();
  Put("message=");
  {
    unsigned i;
    for (i = 0; i < sizeof message && message[i] != '\0'; ++i)
      PutHexByte((unsigned char)message[i]);
  }
  EndLine();
  /* The bytes the library never writes: the caller's, the unused ones, Amount and PrepData. */
  PrintText("caller_bytes_kept", Same(now, old, 0, 15) && Same(now, old, 57, 23) &&
                                         Same(now, old, 99, 1) && Same(now, old, 138, 2)
                                     ? "yes"
                                     : "no");
  PrintNumber("close", Close_Reader(reader));
  ExitProcess(0);
}
