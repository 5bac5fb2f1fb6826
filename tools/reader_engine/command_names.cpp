#include "command_names.h"

#include <cstdio>

namespace vorlex::engine {
namespace {

struct Named {
  std::uint8_t command_class, command_code;
  const char* name;
};

constexpr Named kCommands[] = {
    {0x01, 0x03, "BELL_BEEP"},
    {0x01, 0x04, "LED_DISPLAY"},
    {0xFF, 0x01, "GET_HARDWARE_VER"},
    {0xFF, 0x02, "GET_SOFTWARE_VER"},
    {0x04, 0x01, "REQ_14443_CARD"},
    {0x04, 0x02, "ATS_14443_CARD"},
    {0x04, 0x03, "MIFS_AUTH"},
    {0x04, 0x04, "MIFS_READ"},
    {0x04, 0x05, "MIFS_WRITE"},
    {0x04, 0x06, "MIFS_HALT"},
    {0x04, 0x07, "CPUCARD_APDU"},
    {0x02, 0x01, "SAMCAR1_POWER_ON"},
    {0x02, 0x02, "SAMCAR1_POWER_OFF"},
    {0x02, 0x03, "SAMCAR1_APDU"},
    {0x03, 0x01, "SAMCAR2_POWER_ON"},
    {0x03, 0x02, "SAMCAR2_POWER_OFF"},
    {0x03, 0x03, "SAMCAR2_APDU"},
    {0x05, 0x01, "REQ_RFSIM_CARD"},
    {0x05, 0x02, "RFSIM_HALT"},
    {0x05, 0x03, "RFSIMCARD_APDU"},
    {0xFE, 0x01, "CPU_PBOC_INIT_MODULE"},
    {0xFE, 0x02, "CPU_PBOC_REQA_CARD"},
    {0xFE, 0x03, "CPU_PBOC_PURCHASE"},
    {0xFE, 0x04, "CPU_PBOC_GET_BALANCE"},
    {0xFE, 0x05, "CPU_PBOC_GET_CARDINFO"},
    {0xFD, 0x01, "RFSIM_INIT_MODULE"},
    {0xFD, 0x02, "RFSIM_REQA_CARD"},
    {0xFD, 0x03, "RFSIM_PURCHASE"},
    {0xFD, 0x04, "RFSIM_GET_BALANCE"},
    {0xFD, 0x05, "RFSIM_GET_CARDINFO"},
};

}  // namespace

const char* KnownCommandName(std::uint8_t command_class, std::uint8_t command_code) {
  for (const Named& named : kCommands) {
    if (named.command_class == command_class && named.command_code == command_code) {
      return named.name;
    }
  }
  return nullptr;
}

std::string CommandName(std::uint8_t command_class, std::uint8_t command_code) {
  if (const char* name = KnownCommandName(command_class, command_code)) return name;
  char text[24];
  std::snprintf(text, sizeof text, "unknown %02X %02X", command_class, command_code);
  return text;
}

}  // namespace vorlex::engine

namespace vorlex::engine {

std::vector<CommandCode> CommandsNamed(std::string_view name) {
  std::vector<CommandCode> found;
  if (name.empty()) return found;
  for (const Named& named : kCommands) {
    const std::string_view full = named.name;
    const bool suffix = full.size() > name.size() && full.ends_with(name) &&
                        full[full.size() - name.size() - 1] == '_';
    if (full == name || suffix) found.push_back({named.command_class, named.command_code});
  }
  return found;
}

}  // namespace vorlex::engine
