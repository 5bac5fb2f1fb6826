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
  typedef ReaderHandle (*open_fn)(const char*);
  typedef int (*close_fn)(ReaderHandle);
  typedef int (*beep_fn)(ReaderHandle, int);
  typedef int (*req_fn)(ReaderHandle, int, char*, char*, char*);
  typedef int (*auth_fn)(ReaderHandle, int, int, const char*, char*);
  typedef int (*read_fn)(ReaderHandle, int, int, char*, char*);
  open_fn open_reader = (open_fn)dlsym(lib, "Open_Reader");
  close_fn close_reader = (close_fn)dlsym(lib, "Close_Reader");
  beep_fn beep = (beep_fn)dlsym(lib, "BELL_BEEP");
  req_fn request = (req_fn)dlsym(lib, "REQ_14443_CARD");
  auth_fn auth = (auth_fn)dlsym(lib, "MIFS_AUTH");
  read_fn read_block = (read_fn)dlsym(lib, "MIFS_READ");
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
      const int result =
          call == 0 ? read_block(reader, 1, 0, data, message) : beep(reader, 10);
      samples[i] = now_ns() - started;
      if (result != 0) return 1;
    }
    qsort(samples, (size_t)count, sizeof *samples, by_value);
    printf("%s %lld\n", call == 0 ? "read_block" : "beep", samples[count / 2]);
  }
  free(samples);
  return close_reader(reader) == 0 ? 0 : 1;
}
