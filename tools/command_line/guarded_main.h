// The last line of defence of the tools' programs: whatever escapes a program's main (or ends a
// thread of it) becomes a message and exit status 70, never an abort with no word. The failures
// a program knows about have their own messages and statuses long before this.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <new>
#include <string>

namespace vorlex::command_line {

// Documented beside each program's other exit statuses.
inline constexpr int kInternalErrorStatus = 70;

namespace internal {
inline const char* program_name = "vorlex";

inline std::string Describe(std::exception_ptr escaped) {
  try {
    if (escaped) std::rethrow_exception(escaped);
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "an unknown exception";
  }
  return "std::terminate with no exception";
}

[[noreturn]] inline void Report(std::exception_ptr escaped) noexcept {
  std::fprintf(stderr, "%s: internal error: %s\n", program_name, Describe(escaped).c_str());
  std::fflush(nullptr);
  ::_exit(kInternalErrorStatus);
}
}  // namespace internal

// Runs `main`; what escapes it, and an exception that ends any of its threads, is reported on
// standard error as "NAME: internal error: WHAT" with exit status kInternalErrorStatus.
inline int GuardedMain(const char* name, int (*main)(int, char**), int argc, char** argv) noexcept {
  internal::program_name = name;
  std::set_terminate([] { internal::Report(std::current_exception()); });
  try {
    return main(argc, argv);
  } catch (...) {
    internal::Report(std::current_exception());
  }
}

}  // namespace vorlex::command_line
