/* A caller linked the usual way, through an import library and the public headers: it must
 * link, and must import vorlex.dll's functions by their plain names. */
#include "vorlex.h"

int main(int argc, char** argv) {
  ReaderHandle reader = Open_Reader(argc > 1 ? argv[1] : 0);
  int result;
  if (reader == 0) return 2;
  result = BELL_BEEP(reader, 100);
  return Close_Reader(reader) == 0 ? result : 4;
}
