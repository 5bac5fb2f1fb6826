// libifdvorlex: the pcsc-lite IFD handler (API v3) entry points. Lun = reader index << 16 |
// slot. pcscd opens every slot of a reader with the same device name: the line is opened once
// and shared. Every entry point takes one lock, so the table and the line see one caller at a
// time whatever pcscd's threads do.
#include <pthread.h>
#include <time.h>

// The entry points are the driver's only exports (with ifd_handler.map).
#pragma GCC visibility push(default)
extern "C" {
#include <ifdhandler.h>
}
#pragma GCC visibility pop
extern "C" {
#include <reader.h>
}

#include <array>
#include <cstring>

#include "card_reader.h"
#include "link/serial_port.h"

namespace vorlex::pcsc {
namespace {

constexpr std::size_t kReaders = 16;  // pcscd's own limit of reader contexts
constexpr DWORD kTlvPropertiesIoctl = SCARD_CTL_CODE(3600 + FEATURE_GET_TLV_PROPERTIES);
constexpr char kVendorName[] = "VORLEX";

struct Entry {
  Reader reader;
  char device[link::kDevicePathSize * 4] = {};
  int channels = 0;
};

pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
std::array<Entry, kReaders> table;

class Locked {
 public:
  Locked() noexcept { pthread_mutex_lock(&table_lock); }
  ~Locked() { pthread_mutex_unlock(&table_lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

long long NowMs() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// The open reader and slot a Lun names, or null.
Entry* EntryOf(DWORD lun, int& slot) noexcept {
  const DWORD index = lun >> 16;
  slot = static_cast<int>(lun & 0xFFFF);
  if (index >= kReaders || slot >= kSlots || !table[index].reader.open()) return nullptr;
  return &table[index];
}

RESPONSECODE OpenChannel(DWORD lun, const char* device) noexcept {
  const DWORD index = lun >> 16;
  if (index >= kReaders || (lun & 0xFFFF) >= static_cast<DWORD>(kSlots) || device == nullptr) {
    return IFD_COMMUNICATION_ERROR;
  }
  Entry& entry = table[index];
  if (entry.reader.open()) {
    // Another slot of the same reader: the line is already open.
    if (std::strncmp(entry.device, device, sizeof entry.device) != 0) {
      return IFD_COMMUNICATION_ERROR;
    }
    ++entry.channels;
    return IFD_SUCCESS;
  }
  if (std::strlen(device) >= sizeof entry.device || !entry.reader.Open(device)) {
    return IFD_COMMUNICATION_ERROR;
  }
  std::strcpy(entry.device, device);
  entry.channels = 1;
  return IFD_SUCCESS;
}

bool PutBytes(const void* bytes, DWORD count, PDWORD length, PUCHAR value) noexcept {
  if (length == nullptr || value == nullptr || *length < count) return false;
  std::memcpy(value, bytes, count);
  *length = count;
  return true;
}

bool PutByte(std::uint8_t byte, PDWORD length, PUCHAR value) noexcept {
  return PutBytes(&byte, 1, length, value);
}

// FEATURE_GET_TLV_PROPERTIES: short APDUs only (dwMaxAPDUDataSize 0), and who we are.
std::size_t WriteTlvProperties(PUCHAR out, std::size_t room) noexcept {
  constexpr std::size_t kName = sizeof kVendorName - 1;
  std::uint8_t tlv[6 + 2 + kName] = {PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize, 4,    0, 0, 0, 0,
                                     PCSCv2_PART10_PROPERTY_sFirmwareID,       kName};
  std::memcpy(tlv + 8, kVendorName, kName);
  if (room < sizeof tlv) return 0;
  std::memcpy(out, tlv, sizeof tlv);
  return sizeof tlv;
}

}  // namespace
}  // namespace vorlex::pcsc

using vorlex::pcsc::Entry;
using vorlex::pcsc::EntryOf;
using vorlex::pcsc::Locked;
using vorlex::pcsc::Presence;

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  Locked locked;
  return vorlex::pcsc::OpenChannel(Lun, DeviceName);
}

// CHANNELID N (reader.conf without DEVICENAME) names serial port COM N: /dev/ttyS0 for 1.
RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  char path[vorlex::link::kDevicePathSize];
  if (Channel > 96 || !vorlex::link::ComPortPath(static_cast<int>(Channel), path)) {
    return IFD_COMMUNICATION_ERROR;
  }
  Locked locked;
  return vorlex::pcsc::OpenChannel(Lun, path);
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  Locked locked;
  int slot = 0;
  Entry* entry = EntryOf(Lun, slot);
  if (entry == nullptr) return IFD_SUCCESS;
  entry->reader.PowerDown(slot);
  if (--entry->channels <= 0) {
    entry->reader.Close();
    entry->channels = 0;
    entry->device[0] = '\0';
  }
  return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  Locked locked;
  int slot = 0;
  Entry* entry = EntryOf(Lun, slot);
  bool ok = false;
  switch (Tag) {
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING: {
      if (entry == nullptr) return IFD_COMMUNICATION_ERROR;
      const auto atr = entry->reader.slot(slot).atr.view();
      ok = vorlex::pcsc::PutBytes(atr.data(), static_cast<DWORD>(atr.size()), Length, Value);
      break;
    }
    case TAG_IFD_SLOTS_NUMBER:
      ok = vorlex::pcsc::PutByte(vorlex::pcsc::kSlots, Length, Value);
      break;
    case TAG_IFD_SLOT_THREAD_SAFE:  // one serial line: pcscd serialises the slots
    case TAG_IFD_THREAD_SAFE:
      ok = vorlex::pcsc::PutByte(0, Length, Value);
      break;
    case TAG_IFD_SIMULTANEOUS_ACCESS:
      ok = vorlex::pcsc::PutByte(vorlex::pcsc::kReaders, Length, Value);
      break;
    case SCARD_ATTR_VENDOR_NAME:
      ok = vorlex::pcsc::PutBytes(vorlex::pcsc::kVendorName, sizeof vorlex::pcsc::kVendorName - 1,
                                  Length, Value);
      break;
    default:
      return IFD_ERROR_TAG;
  }
  return ok ? IFD_SUCCESS : IFD_ERROR_INSUFFICIENT_BUFFER;
}

RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) { return IFD_NOT_SUPPORTED; }

// pcscd asks for T=1 after a 3B 8x 80 01 ATR and for T=0 after most SAMs' ATRs: the reader
// speaks to the card itself, so either is fine.
RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR, UCHAR, UCHAR) {
  Locked locked;
  int slot = 0;
  if (EntryOf(Lun, slot) == nullptr) return IFD_COMMUNICATION_ERROR;
  return Protocol == SCARD_PROTOCOL_T0 || Protocol == SCARD_PROTOCOL_T1
             ? IFD_SUCCESS
             : IFD_PROTOCOL_NOT_SUPPORTED;
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  Locked locked;
  int slot = 0;
  Entry* entry = EntryOf(Lun, slot);
  if (entry == nullptr) return IFD_COMMUNICATION_ERROR;
  if (AtrLength != nullptr && Action != IFD_POWER_UP && Action != IFD_RESET) *AtrLength = 0;
  switch (Action) {
    case IFD_POWER_DOWN:
      entry->reader.PowerDown(slot);
      return IFD_SUCCESS;
    case IFD_POWER_UP:
    case IFD_RESET: {
      // Both re-activate: a contactless card has no warm reset the reader offers.
      entry->reader.PowerDown(slot);
      if (!entry->reader.PowerUp(slot)) {
        if (AtrLength != nullptr) *AtrLength = 0;
        return IFD_ERROR_POWER_ACTION;
      }
      const auto atr = entry->reader.slot(slot).atr.view();
      if (Atr == nullptr || AtrLength == nullptr) return IFD_SUCCESS;
      std::memcpy(Atr, atr.data(), atr.size());  // pcscd's buffer holds MAX_ATR_SIZE (33)
      *AtrLength = static_cast<DWORD>(atr.size());
      return IFD_SUCCESS;
    }
    default:
      return IFD_NOT_SUPPORTED;
  }
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER) {
  Locked locked;
  int slot = 0;
  Entry* entry = EntryOf(Lun, slot);
  if (RxLength == nullptr) return IFD_COMMUNICATION_ERROR;
  const DWORD room = *RxLength;
  *RxLength = 0;
  if (entry == nullptr || TxBuffer == nullptr || RxBuffer == nullptr) {
    return IFD_COMMUNICATION_ERROR;
  }
  std::size_t length = 0;
  switch (entry->reader.Transmit(slot, {TxBuffer, TxLength}, {RxBuffer, room}, length)) {
    case vorlex::pcsc::Transfer::kOk:
      *RxLength = static_cast<DWORD>(length);
      return IFD_SUCCESS;
    case vorlex::pcsc::Transfer::kCardGone:
      return IFD_ICC_NOT_PRESENT;
    case vorlex::pcsc::Transfer::kBufferTooSmall:
      return IFD_ERROR_INSUFFICIENT_BUFFER;
    case vorlex::pcsc::Transfer::kNoAnswer:
      break;
  }
  return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
  (void)TxBuffer;
  Locked locked;
  int slot = 0;
  if (pdwBytesReturned == nullptr) return IFD_COMMUNICATION_ERROR;
  *pdwBytesReturned = 0;
  if (EntryOf(Lun, slot) == nullptr) return IFD_COMMUNICATION_ERROR;
  if (dwControlCode == CM_IOCTL_GET_FEATURE_REQUEST) {
    // One feature: tag, length 4, the control code most significant byte first.
    const DWORD code = vorlex::pcsc::kTlvPropertiesIoctl;
    const std::uint8_t feature[6] = {FEATURE_GET_TLV_PROPERTIES,
                                     4,
                                     static_cast<std::uint8_t>(code >> 24),
                                     static_cast<std::uint8_t>(code >> 16),
                                     static_cast<std::uint8_t>(code >> 8),
                                     static_cast<std::uint8_t>(code)};
    if (RxBuffer == nullptr || RxLength < sizeof feature) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(RxBuffer, feature, sizeof feature);
    *pdwBytesReturned = sizeof feature;
    return IFD_SUCCESS;
  }
  if (dwControlCode == vorlex::pcsc::kTlvPropertiesIoctl) {
    if (RxBuffer == nullptr) return IFD_ERROR_INSUFFICIENT_BUFFER;
    const std::size_t written = vorlex::pcsc::WriteTlvProperties(RxBuffer, RxLength);
    if (written == 0) return IFD_ERROR_INSUFFICIENT_BUFFER;
    *pdwBytesReturned = static_cast<DWORD>(written);
    return IFD_SUCCESS;
  }
  return IFD_ERROR_NOT_SUPPORTED;
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
  Locked locked;
  int slot = 0;
  Entry* entry = EntryOf(Lun, slot);
  if (entry == nullptr) return IFD_COMMUNICATION_ERROR;
  switch (entry->reader.CheckPresence(slot, vorlex::pcsc::NowMs())) {
    case Presence::kPresent:
      return IFD_ICC_PRESENT;
    case Presence::kAbsent:
      return IFD_ICC_NOT_PRESENT;
    case Presence::kNoDevice:
      return IFD_NO_SUCH_DEVICE;
    case Presence::kUnknown:
      break;
  }
  // A silent reader is not an empty slot.
  return IFD_COMMUNICATION_ERROR;
}

}  // extern "C"
