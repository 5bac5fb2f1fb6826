// The card models, the fault shaping and the device link at unit level.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <thread>

#include "apdu_applet.h"
#include "device_link.h"
#include "mifare_classic.h"
#include "sim_responder.h"
#include "virtual_reader.h"

namespace vorlex::sim {
namespace {

using Key = std::array<std::uint8_t, 6>;
constexpr Key kTransportKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr Key kKeyA2 = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
constexpr Key kKeyB2 = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};

Block MakeBlock(std::initializer_list<std::uint8_t> head) {
  Block block{};
  std::copy(head.begin(), head.end(), block.begin());
  return block;
}

Block Trailer(const Key& a, std::array<std::uint8_t, 4> access, const Key& b) {
  Block block{};
  std::copy(a.begin(), a.end(), block.begin());
  std::copy(access.begin(), access.end(), block.begin() + 6);
  std::copy(b.begin(), b.end(), block.begin() + 10);
  return block;
}

TEST(AccessBits, KnownConfigurationsDecode) {
  const struct {
    std::array<std::uint8_t, 3> bytes;
    std::array<Condition, 4> conditions;
  } cases[] = {
      {{0xFF, 0x07, 0x80}, {0, 0, 0, 1}},  // transport configuration
      {{0x7F, 0x07, 0x88}, {0, 0, 0, 3}},  // keys managed with key B
      {{0x78, 0x77, 0x88}, {4, 4, 4, 3}},  // data written with key B only
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeAccessBits(c.bytes), c.conditions);
    EXPECT_EQ(EncodeAccessBits(c.conditions), c.bytes);
  }
}

TEST(AccessBits, EveryCombinationRoundTripsAndABrokenCopyIsRefused) {
  for (int all = 0; all < 8 * 8 * 8 * 8; ++all) {
    const std::array<Condition, 4> conditions = {
        static_cast<Condition>(all & 7), static_cast<Condition>(all >> 3 & 7),
        static_cast<Condition>(all >> 6 & 7), static_cast<Condition>(all >> 9 & 7)};
    std::array<std::uint8_t, 3> bytes = EncodeAccessBits(conditions);
    ASSERT_EQ(DecodeAccessBits(bytes), conditions);
    for (int bit = 0; bit < 24; ++bit) {
      std::array<std::uint8_t, 3> broken = bytes;
      broken[bit / 8] ^= static_cast<std::uint8_t>(1 << bit % 8);
      ASSERT_FALSE(DecodeAccessBits(broken)) << "flipped bit " << bit;
    }
  }
}

class MifareTest : public ::testing::Test {
 protected:
  MifareClassic1K card_{kDefaultUid};
};

TEST_F(MifareTest, FactoryCardLayout) {
  const CardImage& image = card_.image();
  EXPECT_EQ(card_.uid(), kDefaultUid);
  EXPECT_EQ(image[4], 0x3A ^ 0x5C ^ 0x71 ^ 0x9E);  // BCC
  for (int sector = 0; sector < kSectors; ++sector) {
    const std::size_t trailer = (sector * 4 + 3) * kBlockBytes;
    EXPECT_EQ(Block(std::to_array<std::uint8_t>({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07,
                                                 0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})),
              *reinterpret_cast<const Block*>(&image[trailer]))
        << "sector " << sector;
  }
}

TEST_F(MifareTest, ReadingAndWritingNeedTheSectorAuthenticated) {
  Block block;
  EXPECT_EQ(card_.Read(1, 0, block), kNotAuthenticated);
  EXPECT_EQ(card_.Write(1, 0, Block{}), kNotAuthenticated);
  ASSERT_EQ(card_.Authenticate(1, kKeyA, kTransportKey), kOk);
  EXPECT_EQ(card_.Read(1, 0, block), kOk);
  EXPECT_EQ(card_.Read(2, 0, block), kNotAuthenticated) << "authentication is per sector";
  ASSERT_EQ(card_.Authenticate(2, kKeyA, kTransportKey), kOk);
  EXPECT_EQ(card_.Read(1, 0, block), kOk) << "authenticating sector 2 keeps sector 1";
  card_.DropAuthentication();
  EXPECT_EQ(card_.Read(2, 0, block), kNotAuthenticated);
}

TEST_F(MifareTest, AFailedAuthenticationMutesTheCardUntilTheNextRequest) {
  Block block;
  ASSERT_EQ(card_.Authenticate(2, kKeyA, kTransportKey), kOk);
  EXPECT_EQ(card_.Authenticate(1, kKeyA, kKeyA2), kAuthFailed);
  EXPECT_EQ(card_.Read(2, 0, block), kCardNotSelected) << "other sectors end too";
  EXPECT_EQ(card_.Write(2, 0, Block{}), kCardNotSelected);
  EXPECT_EQ(card_.Authenticate(1, kKeyA, kTransportKey), kCardNotSelected) << "even the right key";
  card_.DropAuthentication();  // what the card request does
  ASSERT_EQ(card_.Authenticate(1, kKeyA, kTransportKey), kOk);
  EXPECT_EQ(card_.Read(1, 0, block), kOk);
}

TEST_F(MifareTest, ArgumentsOutOfRange) {
  Block block;
  EXPECT_EQ(card_.Authenticate(16, kKeyA, kTransportKey), kBadAddress);
  EXPECT_EQ(card_.Authenticate(0, 2, kTransportKey), kBadArgument);
  ASSERT_EQ(card_.Authenticate(0, kKeyA, kTransportKey), kOk);
  EXPECT_EQ(card_.Read(0, 4, block), kBadAddress);
  EXPECT_EQ(card_.Read(16, 0, block), kBadAddress);
}

TEST_F(MifareTest, TransportConfiguration) {
  Block block;
  ASSERT_EQ(card_.Authenticate(0, kKeyA, kTransportKey), kOk);
  EXPECT_EQ(card_.Write(0, 0, Block{}), kAccessDenied) << "manufacturer block";
  ASSERT_EQ(card_.Read(0, 3, block), kOk);
  EXPECT_EQ(block, Trailer({}, {0xFF, 0x07, 0x80, 0x69}, kTransportKey)) << "key A reads as 0";
  const Block data = MakeBlock({1, 2, 3, 4});
  ASSERT_EQ(card_.Write(0, 1, data), kOk);
  ASSERT_EQ(card_.Read(0, 1, block), kOk);
  EXPECT_EQ(block, data);
  // Key B is readable here, so it is data, not a key: it opens nothing.
  ASSERT_EQ(card_.Authenticate(0, kKeyB, kTransportKey), kOk);
  EXPECT_EQ(card_.Read(0, 1, block), kAccessDenied);
  EXPECT_EQ(card_.Write(0, 1, data), kAccessDenied);
}

TEST_F(MifareTest, TrailerWriteHandsKeyManagementToKeyB) {
  ASSERT_EQ(card_.Authenticate(2, kKeyA, kTransportKey), kOk);
  const Block new_trailer = Trailer(kKeyA2, {0x78, 0x77, 0x88, 0x00}, kKeyB2);
  ASSERT_EQ(card_.Write(2, 3, new_trailer), kOk);

  Block block;
  EXPECT_EQ(card_.Authenticate(2, kKeyA, kTransportKey), kAuthFailed) << "old key A";
  card_.DropAuthentication();
  ASSERT_EQ(card_.Authenticate(2, kKeyA, kKeyA2), kOk);
  EXPECT_EQ(card_.Read(2, 0, block), kOk) << "condition 100: key A reads";
  EXPECT_EQ(card_.Write(2, 0, Block{}), kAccessDenied) << "condition 100: only key B writes";
  ASSERT_EQ(card_.Read(2, 3, block), kOk);
  EXPECT_EQ(block, Trailer({}, {0x78, 0x77, 0x88, 0x00}, {})) << "key B hidden (011)";
  EXPECT_EQ(card_.Write(2, 3, Trailer(kTransportKey, {0xFF, 0x07, 0x80, 0x69}, kTransportKey)),
            kAccessDenied);

  ASSERT_EQ(card_.Authenticate(2, kKeyB, kKeyB2), kOk);
  EXPECT_EQ(card_.Write(2, 0, MakeBlock({9})), kOk);
  // Key B may rewrite key A and the access bytes; inconsistent access bytes are refused whole.
  EXPECT_EQ(card_.Write(2, 3, Trailer(kTransportKey, {0xFF, 0x07, 0x81, 0x69}, kKeyB2)),
            kBadAccessBits);
  EXPECT_EQ(card_.Authenticate(2, kKeyA, kKeyA2), kOk) << "refused write changed nothing";
}

struct ApduCase {
  const char* name;
  const char* command;   // hex: CLA INS P1 P2 Le, then the data
  const char* expected;  // hex: the whole response, or only SW1 SW2 when data_size is set
  int data_size = -1;
};

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

ApduCommand Command(const char* hex) {
  const Bytes bytes = FromHex(hex);
  return {bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], Bytes(bytes.begin() + 5, bytes.end())};
}

TEST(ApduApplet, Commands) {
  AppletConfig config;
  config.names = {"2PAY.SYS.DDF01"};
  config.files = {{0x0015, 0x15, {1, 2, 3, 4, 5, 6, 7, 8}}};
  config.balance = [] { return 0x01020304u; };
  const ApduCase cases[] = {
      {"unknown CLA", "70A4000000", "6E00"},
      {"unknown INS", "0012000000", "6D00"},
      {"read without a current file", "00B0000004", "6986"},
      {"select unknown name",
       "00A4040000"
       "58",
       "6A82"},
      {"select name, no FCI",
       "00A4040C00"
       "325041592E5359532E4444463031",
       "9000"},
      {"select unknown file",
       "00A4000000"
       "0016",
       "6A82"},
      {"select file, bad length",
       "00A4000000"
       "00",
       "6700"},
      {"select file",
       "00A4000000"
       "0015",
       "9000"},
      {"read current file", "00B0000203", "0304059000"},
      {"read past the end", "00B0000604", "07086282"},
      {"offset outside", "00B0000901", "6B00"},
      {"read by short id, no Le", "00B0950500", "0607089000"},
      {"unknown short id", "00B0960001", "6A82"},
      {"challenge", "0084000008", "9000", 8},
      {"challenge without Le", "0084000000", "6700"},
      {"purse balance", "805C000204", "010203049000"},
      {"purse balance, wrong P2", "805C000104", "6A86"},
  };
  ApduApplet applet(config);
  for (const ApduCase& c : cases) {
    const Bytes response = applet.Process(Command(c.command));
    if (c.data_size < 0) {
      EXPECT_EQ(response, FromHex(c.expected)) << c.name;
    } else {
      ASSERT_EQ(response.size(), static_cast<std::size_t>(c.data_size) + 2) << c.name;
      EXPECT_EQ(Bytes(response.end() - 2, response.end()), FromHex(c.expected)) << c.name;
    }
  }
  const Bytes first = applet.Process({0x00, 0x84, 0, 0, 8, {}});
  EXPECT_NE(first, applet.Process({0x00, 0x84, 0, 0, 8, {}})) << "challenges repeat";
  applet.Reset();
  EXPECT_EQ(applet.Process({0x00, 0xB0, 0, 0, 1, {}}), (Bytes{0x69, 0x86})) << "reset deselects";
}

TEST(VirtualReader, RequestLengthsAndUnknownCommands) {
  VirtualReader reader;
  const struct {
    Bytes request;
    std::uint16_t status;
  } cases[] = {
      {{0x04}, kBadLength},
      {{0x07, 0x01}, kUnknownCommand},
      {{0xFF, 0x03}, kUnknownCommand},
      {{0x01, 0x03, 0x00}, kBadLength},
      {{0x04, 0x01}, kBadLength},
      {{0x04, 0x04, 0x01, 0x00}, kCardNotSelected},
      {{0x04, 0x01, 0x00}, kOk},
      {{0x04, 0x04, 0x01}, kBadLength},
      {{0x04, 0x07, 0x00, 0x84, 0x00, 0x00, 0x01, 0x08}, kBadLength},  // Lc 1, no data
      {{0x02, 0x03, 0x00, 0x84, 0x00, 0x00, 0x00, 0x08}, kSamNotPowered},
      {{0xFE, 0x03}, kNoPurchasePrepared},
      {{0xFE, 0x02, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, kModuleNotInitialised},
      {{0xFE, 0x05}, kBadLength},
  };
  for (const auto& c : cases) {
    const Bytes answer = reader.Answer(c.request);
    ASSERT_GE(answer.size(), 2u);
    EXPECT_EQ(answer[0] << 8 | answer[1], c.status) << DescribeRequest(c.request);
  }
}

TEST(ShapeAnswer, FaultOptions) {
  const Bytes payload = {0x00, 0x00, 0x11};
  const Bytes frame = engine::EncodeFrame(payload);  // 02 00 03 00 00 11 14 03
  auto with = [](auto change) {
    FaultOptions faults;
    change(faults);
    return faults;
  };
  const struct {
    const char* name;
    FaultOptions faults;
    std::uint64_t n;
    Bytes bytes;
  } cases[] = {
      {"none", {}, 1, frame},
      {"silent", with([](FaultOptions& f) { f.silent = true; }), 1, {}},
      {"drop every 3, 2nd", with([](FaultOptions& f) { f.drop_every = 3; }), 2, frame},
      {"drop every 3, 3rd", with([](FaultOptions& f) { f.drop_every = 3; }), 3, {}},
      {"stx",
       with([](FaultOptions& f) { f.corrupt = Corruption::kStx; }),
       1,
       {0x05, 0x00, 0x03, 0x00, 0x00, 0x11, 0x14, 0x03}},
      {"etx",
       with([](FaultOptions& f) { f.corrupt = Corruption::kEtx; }),
       1,
       {0x02, 0x00, 0x03, 0x00, 0x00, 0x11, 0x14, 0x04}},
      {"checksum",
       with([](FaultOptions& f) { f.corrupt = Corruption::kChecksum; }),
       1,
       {0x02, 0x00, 0x03, 0x00, 0x00, 0x11, 0x15, 0x03}},
      {"truncate", with([](FaultOptions& f) { f.truncate = true; }), 1, {0x02, 0x00, 0x03, 0x00}},
      {"every 2nd, 1st", with([](FaultOptions& f) {
         f.truncate = true;
         f.fault_every = 2;
       }),
       1, frame},
      {"every 2nd, 2nd",
       with([](FaultOptions& f) {
         f.truncate = true;
         f.fault_every = 2;
       }),
       2,
       {0x02, 0x00, 0x03, 0x00}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ShapeAnswer(c.faults, c.n, payload).bytes, c.bytes) << c.name;
  EXPECT_EQ(ShapeAnswer(with([](FaultOptions& f) { f.per_byte = kLineSpeedPerByte; }), 1, payload)
                .per_byte,
            std::chrono::nanoseconds(86'806));
}

TEST(Responder, BadRequestChecksumGetsAStatusAndTheTraceNamesIt) {
  VirtualReader reader;
  std::vector<std::string> lines;
  const auto responder =
      MakeResponder(reader, {}, [&](const std::string& line) { lines.push_back(line); });
  engine::ParsedFrame request{{0x04, 0x04, 0x01, 0x00}, {}, false};
  EXPECT_EQ(responder(request).bytes, engine::EncodeFrame(Bytes{0x01, 0x03}));
  request.checksum_ok = true;
  responder(request);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "-> #1 MIFS_READ (04 04) 01 00 [bad checksum]");
  EXPECT_EQ(lines[1], "<- #1 0103 bad checksum");
  EXPECT_EQ(lines[3], "<- #2 0202 card not selected");
}

// --lose-answer: only the chosen answer goes missing, and the request is carried out.
TEST(Responder, LosesExactlyTheChosenAnswer) {
  const struct {
    const char* option;
    std::vector<bool> answered;  // CPU_PBOC_GET_BALANCE, RFSIM_GET_BALANCE, alternating
  } cases[] = {
      {"CPU_PBOC_GET_BALANCE", {false, true, true, true}},
      {"GET_BALANCE", {false, true, true, true}},  // both modules' commands, counted together
      {"GET_BALANCE:2", {true, false, true, true}},
      {"RFSIM_GET_BALANCE:2", {true, true, true, false}},
  };
  for (const auto& c : cases) {
    std::string error;
    FaultOptions faults;
    faults.lost_answers.push_back(ParseLostAnswer(c.option, error).value());
    VirtualReader reader;
    const auto responder = MakeResponder(reader, faults);
    for (std::size_t i = 0; i < c.answered.size(); ++i) {
      const engine::ParsedFrame request{
          {static_cast<std::uint8_t>(i % 2 == 0 ? 0xFE : 0xFD), 0x04}, {}, true};
      EXPECT_EQ(responder(request).bytes.empty(), !c.answered[i]) << c.option << " #" << i + 1;
    }
  }
  std::string error;
  EXPECT_FALSE(ParseLostAnswer("BALANCE_GET", error));
  EXPECT_TRUE(error.find("no command is called \"BALANCE_GET\"") != std::string::npos) << error;
  EXPECT_EQ(ParseLostAnswer("APDU", error)->commands.size(), 4u);
}

TEST(DeviceLink, AnswersFramesOnANamedDevice) {
  int host = -1, device_side = -1;
  char name[64];
  ASSERT_EQ(openpty(&host, &device_side, name, nullptr, nullptr), 0);
  const int device = OpenRawDevice(name);
  VirtualReader reader;
  const int stop = eventfd(0, EFD_CLOEXEC);
  bool served = false;
  std::thread server([&] { served = ServeDevice(device, stop, MakeResponder(reader, {})); });

  const Bytes request = engine::EncodeFrame(Bytes{0xFF, 0x01});
  ASSERT_EQ(write(host, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  Bytes payload(kHardwareVersion, kHardwareVersion + sizeof kHardwareVersion - 1);
  payload.insert(payload.begin(), {0x00, 0x00});
  const Bytes expected = engine::EncodeFrame(payload);
  Bytes received;
  while (received.size() < expected.size()) {
    pollfd entry{host, POLLIN, 0};
    ASSERT_GT(poll(&entry, 1, 5000), 0) << "no answer";
    std::uint8_t buffer[64];
    const ssize_t n = read(host, buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    received.insert(received.end(), buffer, buffer + n);
  }
  EXPECT_EQ(received, expected);

  const std::uint64_t one = 1;
  ASSERT_EQ(write(stop, &one, sizeof one), 8);
  server.join();
  EXPECT_TRUE(served);
  for (int fd : {host, device_side, device, stop}) close(fd);
}

}  // namespace
}  // namespace vorlex::sim
