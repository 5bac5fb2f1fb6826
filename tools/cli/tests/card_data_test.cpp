// The dump formats, key lists and APDU scripts, on files written by hand from the documented
// formats of other tools as well as on this tool's own output.
#include <gtest/gtest.h>

#include <string>

#include "apdu_script.h"
#include "dump_formats.h"
#include "key_dictionary.h"

namespace vorlex::cli::card {
namespace {

// A 1K card as a dump leaves it: block 0 with BCC and SAK, data, trailers with the keys that
// opened them; sector 5 opened by no key.
CardImage SampleCard() {
  CardImage card(64);
  for (int b = 0; b < 64; ++b) {
    Block block;
    for (int i = 0; i < kBlockBytes; ++i) block[i] = static_cast<std::uint8_t>(b * 7 + i);
    if (card.IsTrailer(b))
      block = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xFF, 0x07,
               0x80, 0x69, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, static_cast<std::uint8_t>(b)};
    if (card.SectorOf(b) != 5) card.SetBlock(b, block);
  }
  card.SetBlock(0, {0xBA, 0xE2, 0x7C, 0x9D, 0xBA ^ 0xE2 ^ 0x7C ^ 0x9D, 0x08, 0x04, 0x00, 1, 2, 3, 4,
                    5, 6, 7, 8});
  card.key_b[2] = Key{1, 2, 3, 4, 5, 6};
  return card;
}

// The tool's own files round-trip, the text table included; bin and eml write an unread
// sector as zeros, whose access bits do not decode, so it reads back as not in the dump.
TEST(DumpFormats, EachWrittenFormatReadsBackAsTheSameCard) {
  const CardImage card = SampleCard();
  for (const char* name : {"bin", "json", "nfc", "eml", "text"}) {
    SCOPED_TRACE(name);
    const DumpFormat& format = *FormatNamed(name);
    const std::string file = format.write(card);
    if (std::string(name) != "bin") {
      EXPECT_STREQ(DetectFormat(file).name, name);
    }
    const CardImage back = ReadDump(file, &format);
    ASSERT_EQ(back.block_count(), 64);
    for (int b = 0; b < 64; ++b) {
      if (card.BlockUnknown(b)) {
        EXPECT_TRUE(back.BlockUnknown(b)) << b;
        continue;
      }
      EXPECT_EQ(back.blocks[b], card.blocks[b]) << b;
    }
    EXPECT_EQ(back.CardUid(), (Bytes{0xBA, 0xE2, 0x7C, 0x9D}));
    EXPECT_EQ(back.CardSak(), 0x08);
    if (std::string(name) == "json") {
      EXPECT_EQ(back.key_b[2], card.key_b[2]);
    }
  }
  EXPECT_EQ(SectorsWithUnknownBytes(card), "5");
}

TEST(DumpFormats, FilesOfOtherToolsLoad) {
  std::string nfc =
      "Filetype: Flipper NFC device\nVersion: 4\n# comment\nDevice type: Mifare Classic\n"
      "UID: ba e2 7c 9d\nATQA: 00 04\nSAK: 08\nMifare Classic type: 1K\n"
      "Data format version: 2\n# Mifare Classic blocks, '?\?' means unknown data\n"
      "Block 0: BA E2 7C 9D B9 08 04 00 62 63 64 65 66 67 68 69\n"
      "Block 3: ?? ?? ?? ?? ?? ?? FF 07 80 69 ff ff ff ff ff ff\n";
  std::string json = R"({"Created": "other", "FileType": "mfc v2",
      "Card": {"UID": "bae27c9d", "ATQA": "0400", "SAK": "08"},
      "blocks": {"0": "bae27c9db908040062636465666768 69", "1": "00112233445566778899aabbccddeeff"}})";
  json.replace(json.find("68 69"), 5, "6869");
  std::string eml = "# a comment line\n";
  for (int b = 0; b < 64; ++b)
    eml += b == 1 ? "00112233445566778899aabbccddeeff\n" : std::string(32, '0') + "\n";
  std::string bin4k(4096, '\0');
  bin4k[16] = 0x11;
  for (int sector = 0; sector < 40; ++sector) {
    const int trailer = sector < 32 ? sector * 4 + 3 : 128 + (sector - 32) * 16 + 15;
    bin4k.replace(trailer * 16, 16,
                  "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x07\x80\x69\xFF\xFF\xFF\xFF\xFF\xFF", 16);
  }
  eml.replace(eml.find('\n', 3 * 33 + 17) - 20, 8, "FF078069");  // sector 0's trailer

  struct Case {
    const char* format;
    std::string content;
    int blocks, block, byte, value;
  } cases[] = {
      {"nfc", nfc, 64, 3, 15, 0xFF},
      {"json", json, 64, 1, 15, 0xFF},
      {"eml", eml, 64, 1, 10, 0xAA},
      {"bin", bin4k, 256, 1, 0, 0x11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    if (std::string(c.format) != "bin") {
      EXPECT_STREQ(DetectFormat(c.content).name, c.format);
    }
    const CardImage card = ReadDump(c.content, nullptr, std::string("card.") + c.format);
    EXPECT_EQ(card.block_count(), c.blocks);
    EXPECT_TRUE(card.ByteKnown(c.block, c.byte));
    EXPECT_EQ(card.blocks[c.block][c.byte], c.value);
  }
  const CardImage from_nfc = ReadDump(nfc);
  EXPECT_FALSE(from_nfc.ByteKnown(3, 0));
  EXPECT_TRUE(from_nfc.BlockUnknown(2));
  EXPECT_EQ(from_nfc.KeyA(0), std::nullopt);
  EXPECT_EQ(from_nfc.KeyB(0), (Key{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(from_nfc.CardAtqa(), (std::array<std::uint8_t, 2>{0x00, 0x04}));
  EXPECT_TRUE(ReadDump(json).BlockUnknown(2));
  EXPECT_EQ(ReadDump(json).CardAtqa(), (std::array<std::uint8_t, 2>{0x00, 0x04}));
}

TEST(DumpFormats, MalformedFilesNameTheLineOrOffset) {
  const std::string nfc_head =
      "Filetype: Flipper NFC device\nVersion: 4\nDevice type: Mifare Classic\n"
      "Data format version: 2\n";
  std::string eml_short;
  for (int b = 0; b < 63; ++b) eml_short += std::string(32, 'F') + "\n";
  std::string eml_bad = eml_short + std::string(31, 'F') + "G\n";
  struct Case {
    const char* format;  // null: detected
    std::string content;
    const char* message;
  } cases[] = {
      {nullptr, nfc_head + "Block 1: 00 11\n", "line 5: a block is 16"},
      {nullptr, nfc_head + "Block 64: " + std::string(47, '0') + "\n", "line 5: block beyond"},
      {nullptr, nfc_head + "UID: 0G 11 22 33\n", "line 5: \"0G\""},
      {nullptr, "Filetype: Flipper NFC device\nDevice type: NTAG215\n",
       "line 2: Device type: a NTAG215 file"},
      {nullptr, "{\"FileType\": \"mfc v2\", \"blocks\": {\"0\": \"00\"}}",
       "blocks.0: a block is 32"},
      {nullptr, "{\"blocks\": {\n\"0\": }}", "line 2 (offset"},
      {nullptr, "{\"FileType\": 8888888888888e88888888}", "not valid JSON"},
      {nullptr, "{\"FileType\": \"mfcard\", \"Card\": {}}", "\"blocks\""},
      {nullptr,
       "{\"FileType\": \"mfc v2\", \"blocks\": {}, \"SectorKeys\": {\"1\": {\"KeyA\": "
       "\"FFFF\"}}}",
       "SectorKeys.1.KeyA"},
      {nullptr, eml_short, "not 63"},
      {nullptr, eml_bad, "line 64: a block is 32"},
      {"bin", std::string(1000, '\0'), "offset 992: the image ends inside a block"},
      {"bin", std::string(1040, '\0'), "offset 1040"},
      {nullptr, std::string(100, '\x01'), "offset 0: not a dump"},
      {nullptr, "hello\n", "offset 0: not a dump"},
      {"text", "anything", "no \"sector  block  data\" heading"},
      {"text", "sector  block  data\n     0      9  " + std::string(32, '0') + "\n",
       "line 2: \"SECTOR BLOCK DATA\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    try {
      ReadDump(c.content, c.format ? FormatNamed(c.format) : nullptr);
      ADD_FAILURE() << "accepted";
    } catch (const FormatError& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
  }
}

// What decides whether a file is taken: its name or --format for a raw image, the type it
// names for JSON, the version and data format for an NFC device file.
TEST(DumpFormats, FilesAreTakenByWhatTheySayTheyAre) {
  const std::string block = "Block 0: BA E2 7C 9D B9 08 04 00 62 63 64 65 66 67 68 69\n";
  const auto nfc = [&](const std::string& version, const std::string& data_format,
                       const std::string& more) {
    return "Filetype: Flipper NFC device\nVersion: " + version +
           "\nDevice type: Mifare Classic\nUID: BA E2 7C 9D\nMifare Classic type: 1K\n" +
           data_format + more + block;
  };
  const std::string text_of_1024(1024, 'x');
  struct Case {
    std::string content, path;
    const char* refused;  // null: taken
  } cases[] = {
      {text_of_1024, "list", "offset 0: not a dump in json, nfc, eml or text (1024 bytes)"},
      {text_of_1024, "list.mfd", nullptr},  // by its name: read as an image
      {R"({"FileType": "mfu", "blocks": {}})", "", "\"FileType\": \"mfu\" is not a Mifare Classic"},
      {R"({"blocks": {}})", "", "\"FileType\": absent"},
      {R"({"FileType": "mfcard", "blocks": {}})", "", nullptr},
      {nfc("4", "Data format version: 2\n", ""), "", nullptr},
      {nfc("3", "Data format version: 2\n", ""), "", nullptr},
      {nfc("2", "Data format version: 2\n", ""), "", nullptr},
      {nfc("5", "Data format version: 2\n", ""), "", "line 2: Version 5: files of version 2 to 4"},
      {nfc("1", "Data format version: 2\n", ""), "", "line 2: Version 1"},
      {nfc("4", "", ""), "", "Data format version: absent"},
      {nfc("4", "Data format version: 3\n", ""), "", "line 6: Data format version 3"},
      {nfc("4", "Data format version: 1\n", "Key B map: 0000000000000001\n"), "",
       "line 6: Data format version 1 without \"Key A map\""},
      {nfc("4", "Data format version: 1\n", "Key A map: 00000000000000001\n"), "",
       "Key A map: \"00000000000000001\" is not a hex bit map"},
      {nfc("4", "Data format version: 1\n",
           "Key A map: 0000000000000001\nKey B map: 0000000000000000\n"),
       "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 120));
    try {
      ReadDump(c.content, nullptr, c.path);
      EXPECT_EQ(c.refused, nullptr) << "taken";
    } catch (const FormatError& error) {
      ASSERT_NE(c.refused, nullptr) << error.what();
      EXPECT_NE(std::string(error.what()).find(c.refused), std::string::npos) << error.what();
    }
  }
}

// Data format 1 marks nothing unknown: its key maps tell what was read.
TEST(DumpFormats, NfcDataFormatOneIsReadAsItsKeyMapsSay) {
  std::string nfc =
      "Filetype: Flipper NFC device\nVersion: 3\nDevice type: Mifare Classic\nUID: BA E2 7C 9D\n"
      "Mifare Classic type: 1K\nData format version: 1\nKey A map: 0000000000000003\n"
      "Key B map: 0000000000000002\n";
  for (int b = 0; b < 64; ++b) {
    nfc += "Block " + std::to_string(b) + ": " +
           (b % 4 == 3 ? "FF FF FF FF FF FF 7F 07 88 69 00 00 00 00 00 00"
                       : "11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 00") +
           "\n";
  }
  const CardImage card = ReadDump(nfc);
  EXPECT_TRUE(card.BlockKnown(1));
  EXPECT_EQ(card.KeyA(0), (Key{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(card.KeyB(0), std::nullopt) << "key B of sector 0 was not found";
  EXPECT_EQ(card.KeyB(1), (Key{0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(card.SectorUnknown(2));
  EXPECT_EQ(SectorsWithUnknownBytes(card), "0, 2-15");
}

// A raw image cannot say what its tool did not read: a trailer whose access bits do not decode
// leaves the sector out, and a key B they hide is unknown.
TEST(DumpFormats, RawImagesForgetWhatTheyCannotTell) {
  std::string bin(1024, '\0');
  for (int sector = 0; sector < 16; ++sector) {
    // Sector 2: key B hidden (trailer 011); sector 6 too, and block 2 read by key B only (011).
    const char* access = sector == 2   ? "\x7F\x07\x88\x69"
                         : sector == 6 ? "\x3D\x23\xCC\x69"
                                       : "\xFF\x07\x80\x69";
    if (sector != 5) bin.replace((sector * 4 + 3) * 16 + 6, 4, access, 4);
  }
  for (const char* format : {"bin", "eml"}) {
    SCOPED_TRACE(format);
    const std::string content = std::string(format) == "bin"
                                    ? bin
                                    : FormatNamed("eml")->write(ReadDump(bin, FormatNamed("bin")));
    const CardImage card = ReadDump(content, FormatNamed(format));
    EXPECT_TRUE(card.SectorUnknown(5));
    EXPECT_FALSE(card.ByteKnown(11, 10));
    EXPECT_EQ(card.KeyB(2), std::nullopt);
    EXPECT_EQ(card.KeyB(3), (Key{0, 0, 0, 0, 0, 0})) << "readable: data";
    EXPECT_TRUE(card.BlockKnown(9));
    EXPECT_TRUE(card.BlockKnown(25));
    EXPECT_TRUE(card.BlockUnknown(26)) << "its dumper may not have had key B";
  }
}

// ATQA in the JSON as the card sends it (low byte first); SAK from block 0, else from the ATQA.
TEST(DumpFormats, JsonCardFieldsAsTheirHomeToolWritesThem) {
  CardImage card = SampleCard();
  card.atqa = Atqa{0x00, 0x04};
  std::string json = FormatNamed("json")->write(card);
  EXPECT_NE(json.find(R"("ATQA": "0400")"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("SAK": "08")"), std::string::npos);
  for (int b = 0; b < 4; ++b) card.known[b] = 0;  // sector 0 did not open
  card.uid = {0xBA, 0xE2, 0x7C, 0x9D};
  card.atqa = Atqa{0x00, 0x02};
  json = FormatNamed("json")->write(card);
  EXPECT_NE(json.find(R"("SAK": "18")"), std::string::npos) << json;
  EXPECT_NE(FormatNamed("nfc")->write(card).find("SAK: 18\n"), std::string::npos);
  card.atqa.reset();
  EXPECT_EQ(FormatNamed("nfc")->write(card).find("SAK:"), std::string::npos) << "never made up";
}

TEST(AccessConditions, TextPerBlockFromTheTrailer) {
  CardImage card(64);
  card.SetBlock(7, {0, 0, 0, 0, 0, 0, 0xF7, 0x8F, 0x00, 0x69, 0, 0, 0, 0, 0, 0});  // 000, 100
  const auto text = AccessConditionsText(card, 1);
  ASSERT_EQ(text.size(), 5u);
  EXPECT_EQ(text[0].first, "block4");
  EXPECT_EQ(text[0].second, "read AB; write AB; increment AB; decrement transfer restore AB");
  EXPECT_EQ(text[3].second, "write A by B; read ACCESS by AB; write B by B");
  EXPECT_EQ(text[4], (std::pair<std::string, std::string>{"UserData", "69"}));
  card.SetBlock(7, {0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x00, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(AccessConditionsText(card, 1)[0].second, "invalid access bits");
}

TEST(KeyDictionary, CommentsBlanksDuplicatesAndTheLineAtFault) {
  KeyDictionary keys;
  keys.AddFile("# transport\nFFFFFFFFFFFF\n\n  a0a1a2a3a4a5  # MAD key\r\nffffffffffff\n", "k.dic");
  ASSERT_EQ(keys.keys().size(), 2u);
  EXPECT_EQ(keys.keys()[1], (Key{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}));
  for (const char* bad : {"FFFFFFFFFFFF\n\nFFFFFFFFFFF\n", "FFFFFFFFFFFF\n\nFFFFFFFFFFFF00\n",
                          "FFFFFFFFFFFF\n\nFF FF FF FF FF FF\n", "# a\n\nFFFFFFFFFFFZ\n"}) {
    try {
      keys.AddFile(bad, "k.dic");
      ADD_FAILURE() << bad;
    } catch (const FormatError& error) {
      EXPECT_EQ(std::string(error.what()).rfind("k.dic: line 3: ", 0), 0u) << error.what();
    }
  }
  EXPECT_EQ(keys.keys().size(), 2u);  // nothing of a refused file
}

TEST(ApduScript, StepsExpectationsAndErrors) {
  const auto steps = ParseApduScript(
      "# select\n00 A4 04 00 07 \\\n  A0 00 00 00 03 10 10 = ..9000\nreset\n"
      "0084000008=6A82\n00b0000010 = 90 00\nEXIT\nnot read\n");
  ASSERT_EQ(steps.size(), 5u);
  EXPECT_EQ(steps[0].line, 2);
  EXPECT_EQ(steps[0].apdu.size(), 12u);
  EXPECT_TRUE(steps[0].expect->any_data);
  EXPECT_TRUE(steps[0].expect->Matches({0x6F, 0x10, 0x90, 0x00}));
  EXPECT_FALSE(steps[0].expect->Matches({0x6A, 0x82}));
  EXPECT_EQ(steps[1].kind, ScriptStep::kReset);
  EXPECT_TRUE(steps[2].expect->Matches({0x6A, 0x82}));
  EXPECT_FALSE(steps[3].expect->Matches({0x01, 0x90, 0x00}));
  EXPECT_EQ(steps[4].kind, ScriptStep::kExit);

  for (const auto& [script, message] : std::vector<std::pair<std::string, std::string>>{
           {"00A4\n", "line 1: an APDU has at least"},
           {"# c\n00 A4 04 0\n", "line 2: \"00 A4 04 0\""},
           {"\n\n0084000008 = 90G0\n", "line 3: \"= 90G0\""},
           {"00 84 00 \\\n", "line 1: the script ends inside"},
           {"resett\n", "line 1: \"resett\""}}) {
    try {
      ParseApduScript(script);
      ADD_FAILURE() << script;
    } catch (const FormatError& error) {
      EXPECT_EQ(std::string(error.what()).rfind(message, 0), 0u) << error.what();
    }
  }
}

}  // namespace
}  // namespace vorlex::cli::card
