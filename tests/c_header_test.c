/* The public headers compile as C11 and link against the edition's library. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#if defined(VORLEX_TEST_EPURSE)
#include "vorlex_epurse.h"
#else
#include "vorlex_display.h"
#endif

int main(void) {
  int failures = 0;
  char message[VORLEX_MESSAGE_SIZE];
  unsigned char version[VORLEX_VERSION_SIZE];
  /* A null handle fails: closing with -105, a command with 1 once its three attempts fail. */
  if (Close_Reader(NULL) != -105) ++failures;
  if (GET_HARDWARE_VER(NULL, version, message) != 1) ++failures;
#if defined(VORLEX_TEST_EPURSE)
  {
    PurchaseRecord record;
    memset(&record, 0, sizeof record);
    if (sizeof record != 140 || offsetof(PurchaseRecord, ResultText1) != 111) ++failures;
    if (CPU_PBOC_REQA_CARD(NULL, 6, record, &record, message) != 1) ++failures;
  }
#else
  if (LED_DISPLAY(NULL, "", 0) != 1) ++failures;
#endif
  if (failures != 0) printf("%d checks failed\n", failures);
  return failures != 0;
}
