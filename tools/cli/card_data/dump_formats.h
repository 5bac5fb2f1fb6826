// The dump files Mifare tools exchange, each a reader and a writer over one CardImage. Dump and
// restore pick a format by name, file extension or content and never look inside it. Raw
// images (bin) are known by name or extension only: any file can be read as one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "card_image.h"

namespace vorlex::cli::card {

struct DumpFormat {
  const char* name;                     // "text", "bin", "json", "nfc", "eml"
  std::vector<std::string> extensions;  // ".mfd", ...: the format a file name implies
  bool binary;                          // not for a terminal
  bool marks_unknown;                   // false: unknown bytes could only be written as zeros
  std::string (*write)(const CardImage& card);
  CardImage (*read)(const std::string& content);  // null: the format is for people only
};

const std::vector<DumpFormat>& DumpFormats();
// Null when no format has that name / extension.
const DumpFormat* FormatNamed(std::string_view name);
const DumpFormat* FormatOfPath(const std::string& path);
// The text format a file's content is in (json, nfc, eml, text); FormatError when it is none.
const DumpFormat& DetectFormat(const std::string& content);

// Reads `content` in `format`, else in the format of `path`'s extension, else in the one its
// content shows.
CardImage ReadDump(const std::string& content, const DumpFormat* format = nullptr,
                   const std::string& path = "");

// Sectors with unknown bytes, which `bin` and `eml` can only hold as zeros: "3, 7-9".
std::string SectorsWithUnknownBytes(const CardImage& card);

// Sectors of which `format` cannot hold all that `card` knows (read back, a byte or key known
// now would be unknown or other): a key B its access bits hide in a raw image, a sector known
// only in part. "" when nothing is lost.
std::string SectorsLosingData(const CardImage& card, const DumpFormat& format);

}  // namespace vorlex::cli::card
