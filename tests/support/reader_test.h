// Test bed: the real exported functions of a built edition, talking over a pseudo-terminal to
// the scripted reader, with helpers to check every byte a caller gets back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "scripted_reader.h"
#include "support/gbk.h"
#include "vorlex_library.h"

namespace vorlex::testing {

using engine::Bytes;
using engine::Reply;

// "01 03 00 64" -> {0x01, 0x03, 0x00, 0x64}
inline Bytes HexBytes(const std::string& text) {
  Bytes bytes;
  std::string digits;
  for (char c : text) {
    if (c != ' ') digits += c;
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

inline constexpr std::uint8_t kCanary = 0xA5;

// A caller buffer pre-filled with a pattern, with canary bytes after the part the call may use.
template <std::size_t N, std::size_t Guard = 16>
class Buffer {
 public:
  Buffer() { bytes_.fill(kCanary); }
  char* get() { return reinterpret_cast<char*>(bytes_.data()); }
  unsigned char* bytes() { return bytes_.data(); }
  std::string text() const { return std::string(reinterpret_cast<const char*>(bytes_.data())); }
  bool untouched() const {
    return std::all_of(bytes_.begin(), bytes_.end(), [](std::uint8_t b) { return b == kCanary; });
  }
  bool guard_intact() const {
    return std::all_of(bytes_.begin() + N, bytes_.end(),
                       [](std::uint8_t b) { return b == kCanary; });
  }
  std::uint8_t operator[](std::size_t i) const { return bytes_[i]; }

 private:
  std::array<std::uint8_t, N + Guard> bytes_;
};

// The 50-byte message buffer: `text` (GBK) with its NUL, zeros up to byte 50, canaries after.
class MessageBuffer : public Buffer<50> {
 public:
  ::testing::AssertionResult Holds(const std::string& utf8) const {
    const std::string gbk = Gbk(utf8);
    for (std::size_t i = 0; i < 50; ++i) {
      const std::uint8_t expected = i < gbk.size() ? static_cast<std::uint8_t>(gbk[i]) : 0;
      if ((*this)[i] != expected) {
        return ::testing::AssertionFailure()
               << "message byte " << i << " is " << int((*this)[i]) << ", expected "
               << int(expected) << " (\"" << utf8 << "\")";
      }
    }
    if (!guard_intact()) return ::testing::AssertionFailure() << "written past 50 bytes";
    return ::testing::AssertionSuccess();
  }
};

// A scripted reader and a handle on it. The pty is opened through the display edition's
// Open_Reader (which takes a device path); on this system the handle is the port itself, so
// either edition's exports accept it.
class ReaderBed : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = Library(Edition::kDisplay).Open_Reader(reader_.port().c_str());
    ASSERT_NE(handle_, nullptr) << reader_.port();
  }
  void TearDown() override {
    if (handle_ != nullptr) Library(Edition::kDisplay).Close_Reader(handle_);
  }

  engine::ScriptedReader reader_;
  ReaderHandle handle_ = nullptr;
};

// The same, for one edition's exports at a time.
class ReaderTest : public ReaderBed, public ::testing::WithParamInterface<Edition> {
 protected:
  const VorlexLibrary& lib() const { return Library(GetParam()); }
  bool epurse() const { return GetParam() == Edition::kEpurse; }

  // The request payloads the reader received.
  std::vector<Bytes> Sent() const { return reader_.Requests(); }
  Bytes LastSent() const {
    const auto requests = reader_.Requests();
    return requests.empty() ? Bytes{} : requests.back();
  }
};

inline std::string EditionName(const ::testing::TestParamInfo<Edition>& info) {
  return NameOf(info.param);
}

#define VORLEX_BOTH_EDITIONS(Suite)                                                 \
  INSTANTIATE_TEST_SUITE_P(Editions, Suite,                                         \
                           ::testing::Values(::vorlex::testing::Edition::kEpurse,   \
                                             ::vorlex::testing::Edition::kDisplay), \
                           ::vorlex::testing::EditionName)

// Wall time of a call, for loose bounds only.
template <typename Call>
double SecondsOf(Call&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace vorlex::testing
