// Calls one export of the edition this target is built for with fuzzed caller arguments against a
// reader that answers fuzzed bytes, then checks the outcome against a model of the protocol:
//  - the port sees exactly purge TX, purge RX, write, pause 10 ms, read 3, read L+2 per attempt,
//    as many attempts as the answers call for, every one carrying the request the arguments make;
//  - the result, all 50 message bytes and every byte of every output buffer (and 16 guard bytes
//    on each side) are what the answer's bytes and the documented rules give, and nothing else.
//
// Input layout (see fuzz/seeds.py, which writes the seeds in it):
//   selector, flags, int a (LE32), int b (LE32), text length (BE16) + text,
//   record length (1 byte, up to 140) + record bytes,
//   then up to three attempts: header (BE16: bit 15 write fails, bit 14 hang-up, low 10 bits
//   answer length) + answer bytes.
#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/message_table.h"
#include "memory_port.h"
#include "vorlex_display.h"
#include "vorlex_epurse.h"

#if defined(VORLEX_EDITION_EPURSE) == defined(VORLEX_EDITION_DISPLAY)
#error "build with exactly one edition"
#endif

namespace {

using vorlex::MessagePair;
using vorlex::MessagesOf;
using vorlex::Texts;
using vorlex::fuzz::Attempt;
using vorlex::fuzz::Bytes;

constexpr bool kEpurse =
#if defined(VORLEX_EDITION_EPURSE)
    true;
#else
    false;
#endif

[[noreturn]] void Fail(const char* format, ...) {
  std::fputs("property violated: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::abort();
}

#define EXPECT(condition, ...)           \
  do {                                   \
    if (!(condition)) Fail(__VA_ARGS__); \
  } while (0)

// ---- the fuzzer's bytes ------------------------------------------------------------------------

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t left() const { return size_ - at_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  unsigned U16() { return Byte() << 8 | Byte(); }
  std::int32_t I32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(Byte()) << (8 * i);
    return static_cast<std::int32_t>(value);
  }
  Bytes Take(std::size_t count) {
    count = std::min(count, left());
    Bytes bytes(data_ + at_, data_ + at_ + count);
    at_ += count;
    return bytes;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

enum Flags : std::uint8_t {
  kNullMessage = 1,
  kNullOutputs = 2,
  kNullText = 4,
  kForeignHandle = 8,
};

struct Call {
  std::uint8_t selector = 0;
  std::uint8_t flags = 0;
  std::int32_t a = 0, b = 0;
  std::unique_ptr<char[]> text;  // exactly its bytes and a NUL, so over-reads hit the redzone
  PurchaseRecord record{};
  std::vector<Attempt> attempts;

  const char* Text() const { return flags & kNullText ? nullptr : text.get(); }
  ReaderHandle Handle() const {
    static int foreign;
    return flags & kForeignHandle ? &foreign : vorlex::fuzz::MemoryHandle();
  }
};

constexpr std::uint8_t kPattern = 0xA5;

Call Parse(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  Call call;
  call.selector = in.Byte();
  call.flags = in.Byte();
  call.a = in.I32();
  call.b = in.I32();
  const Bytes text = in.Take(in.U16() % 1024);
  call.text = std::make_unique<char[]>(text.size() + 1);
  std::copy(text.begin(), text.end(), call.text.get());
  call.text[text.size()] = '\0';
  std::memset(&call.record, kPattern, sizeof call.record);
  const Bytes record = in.Take(in.Byte() % (sizeof(PurchaseRecord) + 1));
  std::copy(record.begin(), record.end(), reinterpret_cast<std::uint8_t*>(&call.record));
  for (int i = 0; i < 3 && in.left() > 0; ++i) {
    const unsigned header = in.U16();
    Attempt attempt;
    attempt.write_fails = header & 0x8000;
    attempt.hang_up = header & 0x4000;
    attempt.answer = in.Take(header & 0x3FF);
    call.attempts.push_back(std::move(attempt));
  }
  return call;
}

// ---- caller buffers ----------------------------------------------------------------------------

// A caller buffer of `size` bytes with 16 guard bytes on each side, all pre-filled with a pattern,
// and the image it is expected to hold afterwards.
class Buffer {
 public:
  static constexpr std::size_t kGuard = 16;
  Buffer(const char* name, std::size_t size)
      : name_(name), actual_(size + 2 * kGuard, kPattern), expected_(actual_) {}

  std::uint8_t* data() { return actual_.data() + kGuard; }
  char* chars() { return reinterpret_cast<char*>(data()); }
  template <typename T>
  T* as() {
    return reinterpret_cast<T*>(data());
  }

  void Expect(std::size_t offset, const void* bytes, std::size_t count) {
    EXPECT(offset + count + 2 * kGuard <= expected_.size(), "model writes past %s", name_);
    std::memcpy(expected_.data() + kGuard + offset, bytes, count);
  }
  void ExpectText(std::size_t offset, const std::string& text) {
    Expect(offset, text.c_str(), text.size() + 1);
  }

  void Check() const {
    for (std::size_t i = 0; i < actual_.size(); ++i) {
      EXPECT(actual_[i] == expected_[i], "%s: byte %ld is %02X, expected %02X", name_,
             static_cast<long>(i) - static_cast<long>(kGuard), actual_[i], expected_[i]);
    }
  }

 private:
  const char* name_;
  Bytes actual_;
  Bytes expected_;
};

// ---- the model ---------------------------------------------------------------------------------

std::string Hex(const Bytes& bytes, std::size_t offset, std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = offset; i < offset + count; ++i) {
    text += kDigits[bytes.at(i) >> 4];
    text += kDigits[bytes.at(i) & 0x0F];
  }
  return text;
}

[[maybe_unused]] std::uint32_t BigEndian(const Bytes& bytes, std::size_t offset,
                                         std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = value << 8 | bytes.at(offset + i);
  return value;
}

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// `chars` characters of text as chars / 2 bytes; from the first pair that is not two hex digits
// on, zeros.
void AppendHex(Bytes& out, const char* text, std::size_t chars) {
  bool converting = true;
  for (std::size_t i = 0; i < chars; i += 2) {
    int high = -1, low = -1;
    if (converting) {
      high = Nibble(text[i]);
      if (high >= 0) low = Nibble(text[i + 1]);
    }
    converting = high >= 0 && low >= 0;
    out.push_back(converting ? static_cast<std::uint8_t>(high << 4 | low) : 0);
  }
}

void AppendValue(Bytes& out, int value) {
  out.push_back(static_cast<std::uint8_t>((value / 256) & 0xFF));
  out.push_back(static_cast<std::uint8_t>((value % 256) & 0xFF));
}

// The APDU rules of include/vorlex.h; false when the text is refused.
bool ApduRequest(const char* text, bool lenient, Bytes& request) {
  if (text == nullptr) return false;
  const std::size_t max_chars = lenient ? 399 : 398;
  const std::size_t length = strnlen(text, max_chars + 1);
  if (length > max_chars || (!lenient && length % 2 != 0)) return false;
  const std::size_t count = length / 2;
  Bytes bytes;
  for (std::size_t i = 0; i < count; ++i) {
    const int high = Nibble(text[2 * i]), low = Nibble(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  if (count < 5) return false;
  std::size_t lc = 0;
  std::uint8_t le = bytes[4];
  if (count > 5) {
    lc = bytes[4];
    if (lenient ? count < 5 + lc : count != 5 + lc) return false;
    le = count == 5 + lc ? 0 : bytes[count - 1];
  }
  request.insert(request.end(), bytes.begin(), bytes.begin() + 4);
  request.push_back(static_cast<std::uint8_t>(lc));
  request.push_back(le);
  request.insert(request.end(), bytes.begin() + 5, bytes.begin() + 5 + static_cast<long>(lc));
  return true;
}

struct Exchange {
  bool answered = false;
  Bytes payload;
  std::string calls;
  std::vector<std::size_t> reads;
};

// What Transact does with the scripted answers: up to three attempts, each read as STX, length,
// payload, checksum (not compared), ETX; anything else fails the attempt.
Exchange Transact(const std::vector<Attempt>& attempts, bool foreign_handle) {
  Exchange model;
  for (std::size_t i = 0; i < 3 && !model.answered; ++i) {
    model.calls += "TRW";
    const Attempt none;
    const Attempt& attempt = i < attempts.size() ? attempts[i] : none;
    if (foreign_handle || attempt.write_fails) continue;
    model.calls += "Pr";
    model.reads.push_back(3);
    const Bytes& bytes = attempt.answer;
    if (bytes.size() < 3 || bytes[0] != 0x02) continue;
    const std::size_t declared = static_cast<std::size_t>(bytes[1]) << 8 | bytes[2];
    if (declared > 295) continue;
    model.calls += 'r';
    model.reads.push_back(declared + 2);
    if (bytes.size() < declared + 5 || bytes[declared + 4] != 0x03) continue;
    model.payload.assign(bytes.begin() + 3, bytes.begin() + 3 + static_cast<long>(declared));
    model.answered = true;
  }
  return model;
}

// What one export is expected to do with this call.
struct Plan {
  bool sent = true;                    // false: refused before anything goes out
  Bytes request;                       // the payload every attempt carries
  std::size_t needs = 2;               // answer bytes (status included) the outputs come from
  const MessagePair* texts = nullptr;  // null: the export has no message buffer
  const char* refused_text = nullptr;  // the message when nothing is sent
  std::function<void(const Bytes&)> outputs;  // the expected images on success
};

void Verify(const Call& call, int result, const Plan& plan, Buffer* message,
            std::initializer_list<Buffer*> outputs) {
  const auto& log = vorlex::fuzz::Log();
  EXPECT(log.opened.empty(), "a command opened a port");
  if (!plan.sent) {
    EXPECT(log.calls.empty(), "a refused call touched the port: %s", log.calls.c_str());
    EXPECT(result == 1, "refused call returned %d", result);
    if (message != nullptr && plan.refused_text != nullptr) {
      message->ExpectText(0, plan.refused_text);
    }
  } else {
    const Exchange model = Transact(call.attempts, call.flags & kForeignHandle);
    EXPECT(log.calls == model.calls, "port calls %s, expected %s", log.calls.c_str(),
           model.calls.c_str());
    EXPECT(log.reads == model.reads, "read counts differ from the model");
    for (unsigned pause : log.pauses) EXPECT(pause == 10, "paused %u ms", pause);
    for (const Bytes& frame : log.frames) {
      const Bytes payload(frame.begin() + 3, frame.end() - 2);
      EXPECT(payload == plan.request, "request %s, expected %s",
             Hex(payload, 0, payload.size()).c_str(),
             Hex(plan.request, 0, plan.request.size()).c_str());
    }
    const Bytes& answer = model.payload;
    int expected = 1;
    if (model.answered && answer.size() >= 2) {
      const int status = answer[0] << 8 | answer[1];
      expected = status != 0 ? status : answer.size() < plan.needs ? 1 : 0;
    }
    EXPECT(result == expected, "result %d, expected %d", result, expected);
    if (message != nullptr && plan.texts != nullptr) {
      message->ExpectText(0, expected == 0 ? plan.texts->success : plan.texts->failure);
    }
    if (expected == 0 && plan.outputs) plan.outputs(answer);
  }
  if (message != nullptr) message->Check();
  for (Buffer* output : outputs) output->Check();
}

// ---- the exports -------------------------------------------------------------------------------

struct Context {
  const Call& call;
  Buffer message{"message", VORLEX_MESSAGE_SIZE};
  bool null_message() const { return call.flags & kNullMessage; }
  bool null_outputs() const { return call.flags & kNullOutputs; }
  char* Message() { return null_message() ? nullptr : message.chars(); }
  template <typename T = char>
  T* Out(Buffer& buffer) {
    return null_outputs() ? nullptr : buffer.as<T>();
  }
};

// A command with a message: fills in the texts and the refusal rules every such command shares.
Plan CommandPlan(Context& context, Texts texts, Bytes request, bool needs_outputs = true) {
  Plan plan;
  plan.texts = &MessagesOf(texts);
  plan.refused_text = plan.texts->failure;
  plan.request = std::move(request);
  plan.sent = !context.null_message() && !(needs_outputs && context.null_outputs());
  return plan;
}

// Verify() with the message image that a written text produces.
void Finish(Context& context, int result, Plan& plan, std::initializer_list<Buffer*> outputs) {
  Buffer* message = context.null_message() ? nullptr : &context.message;
  if (message != nullptr) {
    // Whatever text ends up there, all 50 bytes are cleared first.
    const Bytes zeros(VORLEX_MESSAGE_SIZE, 0);
    message->Expect(0, zeros.data(), zeros.size());
  }
  Verify(context.call, result, plan, message, outputs);
}

std::uint8_t MifareSector(int value) {
  const auto low = static_cast<std::uint8_t>(value & 0xFF);
  return kEpurse ? low : static_cast<std::uint8_t>(low % 15);
}
std::uint8_t MifareKeyType(int value) {
  return static_cast<std::uint8_t>(value & (kEpurse ? 15 : 1));
}
std::uint8_t MifareBlock(int value) {
  return static_cast<std::uint8_t>(value & (kEpurse ? 15 : 3));
}

void OpenAndClose(const Call& call) {
  const char* name = call.Text();
  std::string path;
  if (kEpurse) {
    long long number = 1;
    if (name != nullptr)
      number = std::strncmp(name, "COM", 3) == 0 ? std::strtoll(name + 3, nullptr, 10) : 0;
    static constexpr struct {
      long long first;
      const char* prefix;
    } kRanges[] = {{1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}};
    for (const auto& range : kRanges) {
      if (number >= range.first && number < range.first + 32) {
        path = range.prefix + std::to_string(number - range.first);
      }
    }
  } else if (name != nullptr) {
    path = name;
  }
  const ReaderHandle handle = Open_Reader(name);
  const auto& log = vorlex::fuzz::Log();
  EXPECT(log.calls.empty(), "Open_Reader did I/O");
  if (path.empty() && (kEpurse || name == nullptr)) {
    EXPECT(handle == nullptr && log.opened.empty(), "Open_Reader opened a port for no device");
  } else {
    EXPECT(handle == vorlex::fuzz::MemoryHandle(), "Open_Reader lost the handle");
    EXPECT(log.opened.size() == 1 && log.opened[0] == path, "Open_Reader opened the wrong path");
  }
  EXPECT(Close_Reader(call.Handle()) == (call.flags & kForeignHandle ? -105 : 0),
         "Close_Reader result");
  EXPECT(Close_Reader(nullptr) == -105, "Close_Reader(null)");
}

void Version(Context& context, bool hardware) {
  Buffer version("version", VORLEX_VERSION_SIZE);
  Plan plan = CommandPlan(context, hardware ? Texts::kHardwareVersion : Texts::kSoftwareVersion,
                          {0xFF, static_cast<std::uint8_t>(hardware ? 0x01 : 0x02)});
  plan.outputs = [&](const Bytes& answer) {
    version.Expect(0, answer.data() + 2, answer.size() - 2);
  };
  auto* out = context.Out<unsigned char>(version);
  const int result = hardware ? GET_HARDWARE_VER(context.call.Handle(), out, context.Message())
                              : GET_SOFTWARE_VER(context.call.Handle(), out, context.Message());
  Finish(context, result, plan, {&version});
}

void Apdu(Context& context, std::uint8_t command_class, std::uint8_t code, bool lenient,
          int (*run)(ReaderHandle, const char*, char*, char*)) {
  Buffer reply("reply", VORLEX_REPLY_TEXT_SIZE);
  Plan plan;
  plan.texts = &MessagesOf(Texts::kApdu);
  plan.refused_text = MessagesOf(Texts::kApduDataError).failure;
  plan.request = {command_class, code};
  plan.sent = !context.null_message() && !context.null_outputs() &&
              ApduRequest(context.call.Text(), lenient, plan.request);
  plan.outputs = [&](const Bytes& answer) {
    reply.ExpectText(0, Hex(answer, 2, answer.size() - 2));
  };
  const int result =
      run(context.call.Handle(), context.call.Text(), context.Out(reply), context.Message());
  Finish(context, result, plan, {&reply});
}

void SamPowerOn(Context& context, std::uint8_t slot, Texts texts,
                int (*run)(ReaderHandle, char*, char*)) {
  Buffer reset("reset answer", VORLEX_REPLY_TEXT_SIZE);
  Plan plan = CommandPlan(context, texts, {slot, 0x01});
  plan.outputs = [&](const Bytes& answer) {
    reset.ExpectText(0, Hex(answer, 2, answer.size() - 2));
  };
  const int result = run(context.call.Handle(), context.Out(reset), context.Message());
  Finish(context, result, plan, {&reset});
}

// A command whose only output is its message.
void Plain(Context& context, Texts texts, Bytes request, int (*run)(ReaderHandle, char*)) {
  Plan plan = CommandPlan(context, texts, std::move(request), false);
  const int result = run(context.call.Handle(), context.Message());
  Finish(context, result, plan, {});
}

void Common(Context& context, unsigned selector) {
  const Call& call = context.call;
  const ReaderHandle reader = call.Handle();
  switch (selector) {
    case 0:
      OpenAndClose(call);
      return;
    case 1: {
      Plan plan;
      plan.request = {0x01, 0x03};
      AppendValue(plan.request, call.a);
      Verify(call, BELL_BEEP(reader, call.a), plan, nullptr, {});
      return;
    }
    case 2:
    case 3:
      Version(context, selector == 2);
      return;
    case 4: {
      Buffer atqa("atqa", 5), uid("uid", 9);
      Plan plan = CommandPlan(context, Texts::kCardRequest,
                              {0x04, 0x01, static_cast<std::uint8_t>(call.a & 1)});
      plan.needs = 8;
      plan.outputs = [&](const Bytes& answer) {
        atqa.ExpectText(0, Hex(answer, 2, 2));
        uid.ExpectText(0, Hex(answer, 4, 4));
      };
      const int result =
          REQ_14443_CARD(reader, call.a, context.Out(atqa), context.Out(uid), context.Message());
      Finish(context, result, plan, {&atqa, &uid});
      return;
    }
    case 5: {
      Buffer ats("ats", VORLEX_ATS_TEXT_SIZE);
      Plan plan = CommandPlan(context, Texts::kAts, {0x04, 0x02});
      plan.outputs = [&](const Bytes& answer) {
        const std::size_t data = answer.size() - 2;
        ats.ExpectText(0, Hex(answer, 2, data > 2 ? data - 2 : 0));
      };
      const int result = ATS_14443_CARD(reader, context.Out(ats), context.Message());
      Finish(context, result, plan, {&ats});
      return;
    }
    case 6:
    case 8: {
      const bool auth = selector == 6;
      Bytes request{0x04, static_cast<std::uint8_t>(auth ? 0x03 : 0x05), MifareSector(call.a),
                    auth ? MifareKeyType(call.b) : MifareBlock(call.b)};
      if (call.Text() != nullptr) AppendHex(request, call.Text(), auth ? 12 : 32);
      Plan plan = CommandPlan(context, auth ? Texts::kMifareAuth : Texts::kMifareWrite,
                              std::move(request), false);
      plan.sent = plan.sent && call.Text() != nullptr;
      const int result = auth ? MIFS_AUTH(reader, call.a, call.b, call.Text(), context.Message())
                              : MIFS_WRITE(reader, call.a, call.b, call.Text(), context.Message());
      Finish(context, result, plan, {});
      return;
    }
    case 7: {
      Buffer data("block", 33);
      Plan plan = CommandPlan(context, Texts::kMifareRead,
                              {0x04, 0x04, MifareSector(call.a), MifareBlock(call.b)});
      plan.needs = 18;
      plan.outputs = [&](const Bytes& answer) { data.ExpectText(0, Hex(answer, 2, 16)); };
      const int result = MIFS_READ(reader, call.a, call.b, context.Out(data), context.Message());
      Finish(context, result, plan, {&data});
      return;
    }
    case 9:
      Plain(context, Texts::kCardHalt, {0x04, 0x06}, MIFS_HALT);
      return;
    case 10:
      Apdu(context, 0x04, 0x07, false, CPUCARD_APDU);
      return;
    case 11:
      Apdu(context, 0x02, 0x03, false, SAMCAR1_APDU);
      return;
    case 12:
      Apdu(context, 0x03, 0x03, false, SAMCAR2_APDU);
      return;
    case 13:
      SamPowerOn(context, 0x02, Texts::kSam1PowerOn, SAMCAR1_POWER_ON);
      return;
    case 14:
      SamPowerOn(context, 0x03, Texts::kSam2PowerOn, SAMCAR2_POWER_ON);
      return;
    case 15:
      Plain(context, Texts::kSam1PowerOff, {0x02, 0x02}, SAMCAR1_POWER_OFF);
      return;
    case 16:
      Plain(context, Texts::kSam2PowerOff, {0x03, 0x02}, SAMCAR2_POWER_OFF);
      return;
    case 17: {
      Buffer identifier("identifier", 17);
      Plan plan = CommandPlan(context, Texts::kCardRequest,
                              {0x05, 0x01, static_cast<std::uint8_t>(call.a & 1)});
      plan.needs = 10;
      plan.outputs = [&](const Bytes& answer) { identifier.ExpectText(0, Hex(answer, 2, 8)); };
      const int result = REQ_RFSIM_CARD(reader, call.a, context.Out(identifier), context.Message());
      Finish(context, result, plan, {&identifier});
      return;
    }
    case 18:
      Plain(context, Texts::kCardHalt, {0x05, 0x02}, RFSIM_HALT);
      return;
    case 19:
      Apdu(context, 0x05, 0x03, true, RFSIMCARD_APDU);
      return;
  }
}
constexpr unsigned kCommonExports = 20;

#if defined(VORLEX_EDITION_DISPLAY)

constexpr unsigned kEditionExports = 1;

void Edition(Context& context, unsigned) {
  const Call& call = context.call;
  Plan plan;
  plan.request = {0x01, 0x04};
  const char* text = call.Text();
  const std::size_t length = text == nullptr ? 0 : strnlen(text, VORLEX_DISPLAY_TEXT_MAX + 1);
  plan.sent = text != nullptr && length <= VORLEX_DISPLAY_TEXT_MAX;
  if (plan.sent) plan.request.insert(plan.request.end(), text, text + length);
  AppendValue(plan.request, call.a);
  Verify(call, LED_DISPLAY(call.Handle(), text, call.a), plan, nullptr, {});
}

#else

constexpr unsigned kEditionExports = 10;

struct Module {
  std::uint8_t command_class;
  std::size_t id_bytes;
  Texts init, request_card, purchase, balance, card_info;
  decltype(&CPU_PBOC_INIT_MODULE) Init;
  decltype(&CPU_PBOC_REQA_CARD) RequestCard;
  decltype(&CPU_PBOC_PURCHASE) Purchase;
  decltype(&CPU_PBOC_GET_BALANCE) Balance;
  decltype(&CPU_PBOC_GET_CARDINFO) CardInfo;
};

const Module kModules[] = {
    {0xFE, 4, Texts::kCpuInitModule, Texts::kCpuRequestCard, Texts::kCpuPurchase,
     Texts::kCpuBalance, Texts::kCpuCardInfo, CPU_PBOC_INIT_MODULE, CPU_PBOC_REQA_CARD,
     CPU_PBOC_PURCHASE, CPU_PBOC_GET_BALANCE, CPU_PBOC_GET_CARDINFO},
    {0xFD, 8, Texts::kRfsimInitModule, Texts::kRfsimRequestCard, Texts::kRfsimPurchase,
     Texts::kRfsimBalance, Texts::kRfsimCardInfo, RFSIM_INIT_MODULE, RFSIM_REQA_CARD,
     RFSIM_PURCHASE, RFSIM_GET_BALANCE, RFSIM_GET_CARDINFO},
};

template <typename T>
void ExpectField(Buffer& record, std::size_t offset, T value) {
  record.Expect(offset, &value, sizeof value);
}

// CardId and CardInfo, which both card searches fill from the same answer positions.
void ExpectCardFields(Buffer& record, const Module& module, const Bytes& answer) {
  record.ExpectText(offsetof(PurchaseRecord, CardId), Hex(answer, 2, module.id_bytes));
  record.ExpectText(offsetof(PurchaseRecord, CardInfo), Hex(answer, 2 + module.id_bytes, 10));
}

void Edition(Context& context, unsigned selector) {
  const Call& call = context.call;
  const Module& module = kModules[selector / 5];
  const ReaderHandle reader = call.Handle();
  const std::uint8_t cls = module.command_class;
  Buffer record("record", sizeof(PurchaseRecord));
  switch (selector % 5) {
    case 0: {
      Buffer data("module data", 13);
      Plan plan = CommandPlan(context, module.init,
                              {cls, 0x01, static_cast<std::uint8_t>(call.a & 0xFF),
                               static_cast<std::uint8_t>(call.b & 0xFF)});
      plan.needs = 8;
      plan.outputs = [&](const Bytes& answer) { data.ExpectText(0, Hex(answer, 2, 6)); };
      const int result = module.Init(reader, call.a, call.b, context.Out(data), context.Message());
      Finish(context, result, plan, {&data});
      return;
    }
    case 1: {
      Bytes request{cls, 0x02, static_cast<std::uint8_t>(call.a & 0xFF)};
      const auto amount = static_cast<std::uint32_t>(call.record.Amount);
      for (int shift = 24; shift >= 0; shift -= 8) request.push_back((amount >> shift) & 0xFF);
      AppendHex(request, call.record.PrepData, 14);
      Plan plan = CommandPlan(context, module.request_card, std::move(request));
      const std::size_t at = 2 + module.id_bytes + 10;  // after CardId and CardInfo
      plan.needs = at + 15;
      plan.outputs = [&](const Bytes& answer) {
        ExpectCardFields(record, module, answer);
        record.ExpectText(offsetof(PurchaseRecord, PrepText), Hex(answer, at, 4));
        ExpectField(record, offsetof(PurchaseRecord, PrepByte1), answer.at(at + 4));
        ExpectField(record, offsetof(PurchaseRecord, PrepByte2), answer.at(at + 5));
        ExpectField(record, offsetof(PurchaseRecord, CardValue24), BigEndian(answer, at + 6, 3));
        ExpectField(record, offsetof(PurchaseRecord, PrepValue16), BigEndian(answer, at + 9, 2));
        ExpectField(record, offsetof(PurchaseRecord, PrepValue32), BigEndian(answer, at + 11, 4));
      };
      const int result = module.RequestCard(reader, call.a, call.record,
                                            context.Out<PurchaseRecord>(record), context.Message());
      Finish(context, result, plan, {&record});
      return;
    }
    case 2: {
      Plan plan = CommandPlan(context, module.purchase, {cls, 0x03});
      plan.needs = 10;
      plan.outputs = [&](const Bytes& answer) {
        const struct {
          std::size_t offset, field, chars;
        } results[] = {{2, offsetof(PurchaseRecord, ResultText1), 4},
                       {6, offsetof(PurchaseRecord, ResultText2), 4},
                       {10, offsetof(PurchaseRecord, ResultText3), 4},
                       {14, offsetof(PurchaseRecord, ResultText4), 3}};
        for (const auto& value : results) {
          const bool whole = value.offset + 4 <= answer.size();
          record.ExpectText(value.field, whole ? Hex(answer, value.offset, value.chars) : "");
        }
      };
      const int result =
          module.Purchase(reader, context.Out<PurchaseRecord>(record), context.Message());
      Finish(context, result, plan, {&record});
      return;
    }
    case 3: {
      Buffer balance("balance", 4);
      Plan plan = CommandPlan(context, module.balance, {cls, 0x04});
      plan.needs = 6;
      plan.outputs = [&](const Bytes& answer) {
        ExpectField(balance, 0, static_cast<std::int32_t>(BigEndian(answer, 2, 4)));
      };
      const int result =
          module.Balance(reader, context.Out<std::int32_t>(balance), context.Message());
      Finish(context, result, plan, {&balance});
      return;
    }
    case 4: {
      Bytes request{cls, 0x05};
      request.resize(14, 0);
      Plan plan = CommandPlan(context, module.card_info, std::move(request));
      const std::size_t at = 2 + module.id_bytes + 10;
      plan.needs = at + 3;
      plan.outputs = [&](const Bytes& answer) {
        ExpectCardFields(record, module, answer);
        ExpectField(record, offsetof(PurchaseRecord, CardValue24), BigEndian(answer, at, 3));
      };
      const int result =
          module.CardInfo(reader, call.a, context.Out<PurchaseRecord>(record), context.Message());
      Finish(context, result, plan, {&record});
      return;
    }
  }
}

#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Call call = Parse(data, size);
  vorlex::fuzz::ResetPort(call.attempts);
  Context context{call};
  const unsigned selector = call.selector % (kCommonExports + kEditionExports);
  if (selector < kCommonExports) {
    Common(context, selector);
  } else {
    Edition(context, selector - kCommonExports);
  }
  return 0;
}
