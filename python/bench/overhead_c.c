/* The C side of the Python overhead benchmark: the same calls that overhead.py makes through
 * the package, straight from C through dlopen of the same library file. Prints one line per
 * call: "NAME MEDIAN_NS", the median wall time of COUNT calls.
 * Usage: overhead_c LIBRARY PORT COUNT */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "vorlex.h"

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static int by_value(const void* a, const void* b) {
  long long x = *(const long long*)a, y = *(const long long*)b;
  return (x > y) - (x < y);
}

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  void* lib = dlopen(argv[1], RTLD_NOW);
  if (lib == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  ReaderHandle (*open_reader)(const char*);
  int (*close_reader)(ReaderHandle);
  int (*beep)(ReaderHandle, int);
  int (*request)(ReaderHandle, int, char*, char*, char*);
  int (*auth)(ReaderHandle, int, int, const char*, char*);
  int (*read_block)(ReaderHandle, int, int, char*, char*);
  /* POSIX's way of taking a function from dlsym without an object-to-function cast. */
#define FIND(pointer, name) \
  if ((*(void**)&(pointer) = dlsym(lib, name)) == NULL) return 1
  FIND(open_reader, "Open_Reader");
  FIND(close_reader, "Close_Reader");
  FIND(beep, "BELL_BEEP");
  FIND(request, "REQ_14443_CARD");
  FIND(auth, "MIFS_AUTH");
  FIND(read_block, "MIFS_READ");
#undef FIND
  const int count = atoi(argv[3]);
  long long* samples = calloc((size_t)(count > 0 ? count : 1), sizeof *samples);
  ReaderHandle reader = open_reader(argv[2]);
  if (reader == NULL || samples == NULL) return 1;
  char message[VORLEX_MESSAGE_SIZE], atqa[5], uid[9], data[33];
  if (request(reader, 0, atqa, uid, message) != 0 ||
      auth(reader, 1, 0, "FFFFFFFFFFFF", message) != 0) {
    return 1;
  }
  for (int call = 0; call < 2; ++call) {
    for (int i = 0; i < count; ++i) {
      const long long started = now_ns();
      const int result = call == 0 ? read_block(reader, 1, 0, data, message) : beep(reader, 10);
      samples[i] = now_ns() - started;
      if (result != 0) return 1;
    }
    qsort(samples, (size_t)count, sizeof *samples, by_value);
    printf("%s %lld\n", call == 0 ? "read_block" : "beep", samples[count / 2]);
  }
  free(samples);
  return close_reader(reader) == 0 ? 0 : 1;
}
