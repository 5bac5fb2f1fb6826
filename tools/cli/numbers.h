// Numbers and hexadecimal bytes as people type and paste them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorlex::cli {

// Decimal ("010" is ten), or hexadecimal when written with 0x. Anything else, or a value outside
// min..max, is a UsageError naming `what`.
std::int64_t ParseNumber(const std::string& text, std::int64_t min, std::int64_t max,
                         const std::string& what);

// Bytes as hex digits, unbroken or with spaces, tabs or colons between the bytes
// ("00 84 00 00 08", "00:84:00:00:08", "0084000008"). Gives upper-case unbroken digits.
// `bytes` is the exact count wanted, or 0 for any count from 1 on.
std::string ParseHexBytes(const std::string& text, std::size_t bytes, const std::string& what);

std::vector<std::uint8_t> BytesOfHex(const std::string& digits);  // digits as ParseHexBytes gives
// Upper case, with `separator` between the bytes.
std::string HexOf(const std::uint8_t* bytes, std::size_t count, const char* separator = "");
std::string Hex(std::uint32_t value, int digits);

}  // namespace vorlex::cli
