// Writes that can ruin a Mifare Classic card for good: a sector trailer whose access bits are
// inconsistent or leave no key able to change the trailer again, and block 0 of sector 0 (the
// manufacturer block) with a wrong check byte. Every command that writes blocks (write,
// restore) checks here first and sends nothing when refused.
#pragma once

#include <CLI/CLI.hpp>
#include <array>
#include <cstdint>
#include <string>

#include "mifare_access.h"

namespace vorlex::cli {

using BlockBytes = std::array<std::uint8_t, 16>;

// What the user allowed on the command line: --allow-trailer, --allow-permanent-lock,
// --allow-block0.
struct WriteAllowance : mifare::WriteAllowance {
  // The three options on a command that writes blocks.
  void AddTo(CLI::App* command);
};

// The decisions themselves are the library's (lib/common/mifare_access), shared with the PC/SC
// driver; `sector` and `block` as they reach the card (after the edition's reductions).
using mifare::AccessConditionsOf;
using mifare::BlockKind;
using mifare::KeyBReadable;
using mifare::KindOf;

// C1C2C3 of the four groups, "000 000 000 001", or why they are not readable.
std::string DescribeAccess(const BlockBytes& trailer);

// Empty when the write may go; otherwise why it is refused, in words.
std::string CheckBlockWrite(int sector, int block, const BlockBytes& data,
                            const WriteAllowance& allowed);

}  // namespace vorlex::cli
