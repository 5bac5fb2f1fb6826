/* One whole purchase on the e-purse edition: bring up the CPU card purchase module, find the
 * card and prepare a purchase of 1.00, purchase, and read the balance before and after. The
 * port is $VORLEX_PORT (vorlex-sim run sets it), COM33 otherwise.
 *
 * A failed CPU_PBOC_PURCHASE may still have debited the card: when the module's answer is
 * lost, the library sends the request again and the module, whose purchase already ran,
 * refuses it. The balance tells: debited by the amount, the purchase is done (without its
 * result fields); not debited, it failed; unreadable, nobody knows yet (exit 4): check the
 * balance before charging again. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vorlex_epurse.h"

int main(void) {
  const char* port = getenv("VORLEX_PORT") != NULL ? getenv("VORLEX_PORT") : "COM33";
  char message[VORLEX_MESSAGE_SIZE], module[64];
  int32_t before = 0, after = 0;
  int status, answer_lost = 0;
  PurchaseRecord record;
  ReaderHandle reader = Open_Reader(port);
  if (reader == NULL) {
    fprintf(stderr, "cannot open %s\n", port);
    return 1;
  }
  memset(&record, 0, sizeof record);
  record.Amount = 100;                       /* cents */
  strcpy(record.PrepData, "20261209120000"); /* date and time, BCD */
  if ((status = CPU_PBOC_INIT_MODULE(reader, 0, 0, module, message)) != 0 ||
      (status = CPU_PBOC_GET_BALANCE(reader, &before, message)) != 0 ||
      (status = CPU_PBOC_REQA_CARD(reader, 0, record, &record, message)) != 0) {
    fprintf(stderr, "purchase failed: status %04X\n", (unsigned)status);
    Close_Reader(reader);
    return 1;
  }
  status = CPU_PBOC_PURCHASE(reader, &record, message);
  if (CPU_PBOC_GET_BALANCE(reader, &after, message) != 0) {
    if (status == 0) {
      fprintf(stderr, "paid, but the balance after cannot be read\n");
      Close_Reader(reader);
      return 1;
    }
    fprintf(stderr, "unknown: check the balance before charging again (status %04X)\n",
            (unsigned)status);
    Close_Reader(reader);
    return 4;
  }
  if (status != 0 && after == before - record.Amount) {
    answer_lost = 1; /* done; ResultText1-4 were never filled */
  } else if (status != 0 && after == before) {
    fprintf(stderr, "purchase failed: status %04X\n", (unsigned)status);
    Close_Reader(reader);
    return 1;
  } else if (status != 0) {
    fprintf(stderr, "unknown: check the balance before charging again (balance %d -> %d)\n",
            (int)before, (int)after);
    Close_Reader(reader);
    return 4;
  }
  printf("card %s paid %d%s: balance %d -> %d\n", record.CardId, (int)record.Amount,
         answer_lost ? " (the reader's answer was lost)" : "", (int)before, (int)after);
  Close_Reader(reader);
  return after == before - record.Amount ? 0 : 1;
}
