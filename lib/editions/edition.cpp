#include "editions/edition.h"

#include <cctype>
#include <climits>
#include <cstring>

namespace vorlex::edition {
namespace {

// The port number after "COM", read like atoi: leading blanks and a sign allowed, stops at the
// first non-digit, no digits give 0. Values beyond int saturate rather than overflow.
[[maybe_unused]] int ComPortNumber(const char* digits) {
  while (std::isspace(static_cast<unsigned char>(*digits))) ++digits;
  const bool negative = *digits == '-';
  if (*digits == '+' || *digits == '-') ++digits;
  long long value = 0;
  while (*digits >= '0' && *digits <= '9') {
    if (value <= INT_MAX) value = value * 10 + (*digits - '0');
    ++digits;
  }
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<int>(negative ? -value : value);
}

}  // namespace

const char* DevicePathFor(const char* port_name, char (&buffer)[link::kDevicePathSize]) noexcept {
  if constexpr (kKind == Kind::kEpurse) {
    int number = 1;
    if (port_name != nullptr) {
      if (std::strncmp(port_name, "COM", 3) != 0) return nullptr;
      number = ComPortNumber(port_name + 3);
    }
    return link::ComPortPath(number, buffer) ? buffer : nullptr;
  } else {
    return port_name;
  }
}

}  // namespace vorlex::edition
