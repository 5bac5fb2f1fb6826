// The reader device against the simulator's reader in-process on a pty: every method of both
// editions, the same bytes as the library gives, the guard table, refusals, a card that changed,
// a vanished port, presence polling, and the method list against docs/agent.md.
#include "reader_device.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>

#include "link/serial_port.h"
#include "scripted_reader.h"
#include "sim_responder.h"
#include "virtual_reader.h"
#include "vorlex_epurse.h"

namespace vorlex::agent {
namespace {

using nlohmann::json;

class DeviceOnSim : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/vorlex-agent-device-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    folder_ = folder;
    reader_ = std::make_unique<sim::VirtualReader>();
    engine_.SetResponder(sim::MakeResponder(*reader_, {}));
  }
  void TearDown() override {
    device_.reset();
    std::filesystem::remove_all(folder_);
  }

  ReaderDevice& Device(Edition edition) {
    device_ = std::make_unique<ReaderDevice>(
        DeviceOptions{engine_.port(), edition, folder_ + "/journal.db", "T1"});
    EXPECT_TRUE(device_->Open());
    return *device_;
  }
  json Call(const std::string& method, const json& params = json::object()) {
    try {
      return device_->Call(method, params);
    } catch (const MethodError& error) {
      ADD_FAILURE() << method << ": " << error.code << " " << error.message << " "
                    << error.data.dump();
      throw;
    }
  }
  // The error a call throws (code 0: none).
  MethodError ErrorOf(const std::string& method, const json& params = json::object()) {
    try {
      device_->Call(method, params);
    } catch (const MethodError& error) {
      return error;
    }
    return {0, "", nullptr};
  }

  std::string folder_;
  std::unique_ptr<sim::VirtualReader> reader_;
  engine::ScriptedReader engine_;
  std::unique_ptr<ReaderDevice> device_;
};

// Each method once, in an order the reader takes them; together the two editions' lists cover
// every method the device has.
TEST_F(DeviceOnSim, EveryMethodOfBothEditions) {
  std::set<std::string> called;
  const auto call = [&](const std::string& method, const json& params = json::object()) {
    called.insert(method);
    return Call(method, params);
  };

  Device(Edition::kDisplay);
  EXPECT_EQ(call("reader.display", {{"text", "余额 12.50"}, {"value", 3}}),
            json({{"text", "余额 12.50"}, {"gbk", "D3E0B6EE2031322E3530"}, {"value", 3}}));
  EXPECT_EQ(reader_->LastDisplayText(),
            (engine::Bytes{0xD3, 0xE0, 0xB6, 0xEE, ' ', '1', '2', '.', '5', '0'}));
  EXPECT_EQ(ErrorOf("purse.balance").code, -32601) << "the display edition has no purses";

  Device(Edition::kEpurse);
  EXPECT_EQ(ErrorOf("reader.display", {{"text", "x"}}).code, -32601);
  EXPECT_EQ(call("reader.beep", {{"value", 5}}), json({{"value", 5}}));
  EXPECT_EQ(reader_->Beeps(), 1);
  const json versions = call("reader.versions");
  EXPECT_EQ(versions["hardware_version"], sim::kHardwareVersion);
  EXPECT_EQ(versions["software_version"], sim::kSoftwareVersion);

  EXPECT_EQ(call("card.request", {{"wake_all", true}}),
            json({{"atqa", "0004"}, {"uid", "3A5C719E"}}));
  EXPECT_FALSE(call("card.ats")["ats"].get<std::string>().empty());
  EXPECT_EQ(
      call("mifare.authenticate", {{"sector", 1}, {"key_type", "A"}, {"key", "FF FF FF FF FF FF"}}),
      json({{"sector", 1}, {"key_type", "A"}}));
  const std::string data = "00112233445566778899AABBCCDDEEFF";
  call("mifare.write", {{"sector", 1}, {"block", 1}, {"data", data}});
  EXPECT_EQ(call("mifare.read", {{"sector", 1}, {"block", 1}})["data"], data);
  const json reply = call("apdu", {{"unit", "card"}, {"command", "0084000008"}});
  EXPECT_EQ(reply["sw_hex"], "9000");
  EXPECT_EQ(reply["data"].get<std::string>().size(), 16u);
  EXPECT_EQ(reply["reply"], reply["data"].get<std::string>() + "9000");
  call("card.halt");

  EXPECT_FALSE(call("sam.power_on", {{"slot", 2}})["atr"].get<std::string>().empty());
  EXPECT_EQ(call("apdu", {{"unit", "sam2"}, {"command", "0084000004"}})["sw_hex"], "9000");
  EXPECT_EQ(call("sam.power_off", {{"slot", 2}}), json({{"slot", 2}}));

  EXPECT_EQ(call("rfsim.request")["id"], engine::HexText(reader_->RfsimIdentifier(), false));
  EXPECT_EQ(call("apdu", {{"unit", "rfsim"}, {"command", "0084000008"}})["sw_hex"], "9000");
  call("rfsim.halt");

  EXPECT_EQ(call("purse.init", {{"module", "rfsim"}})["module_data"].get<std::string>().size(),
            12u);
  EXPECT_EQ(call("purse.balance", {{"module", "rfsim"}})["balance"], 10000);
  call("purse.init");
  EXPECT_EQ(call("purse.card_info")["card_id"].get<std::string>().size(), 8u);
  const json prepared = call("purse.request", {{"amount", 1}, {"prep_data", "20261210093000"}});
  EXPECT_EQ(prepared["prep_data"], "20261210093000");
  EXPECT_EQ(prepared["card_id"].get<std::string>().size(), 8u);

  const json done = call("purse.purchase", {{"amount", 250}, {"key", "till-1-0001"}});
  EXPECT_EQ(done["outcome"], "done") << done.dump();
  EXPECT_EQ(done["balance_before"], 10000);
  EXPECT_EQ(done["balance_after"], 9750);
  EXPECT_FALSE(done["answer_lost"].get<bool>());
  EXPECT_FALSE(done["replayed"].get<bool>());
  EXPECT_FALSE(done["result_text1"].get<std::string>().empty());
  // The same key again: the recorded outcome, nothing sent, nothing charged.
  const std::size_t before = engine_.RequestCount();
  const json again = call("purse.purchase", {{"amount", 250}, {"key", "till-1-0001"}});
  EXPECT_TRUE(again["replayed"].get<bool>());
  EXPECT_EQ(again["journal_id"], done["journal_id"]);
  EXPECT_EQ(engine_.RequestCount(), before);
  EXPECT_EQ(reader_->CpuBalance(), 9750u);
  EXPECT_EQ(ErrorOf("purse.purchase", {{"amount", 300}, {"key", "till-1-0001"}}).code, -32602);

  const json list = call("journal.list", {{"limit", 5}});
  ASSERT_EQ(list["purchases"].size(), 1u);
  EXPECT_EQ(list["purchases"][0]["outcome"], "done");
  EXPECT_EQ(list["purchases"][0]["amount"], 250);
  EXPECT_EQ(list["purchases"][0]["key"], "till-1-0001");

  std::set<std::string> all;
  for (const std::string_view method : ReaderDevice::Methods()) all.insert(std::string(method));
  EXPECT_EQ(called, all);
}

// The device's requests and results are the library's for the same calls, byte for byte: the
// e-purse exports on a handle of the core's port layer (the edition opens COM names only; the
// handle is the port layer's either way), then the device, on the same simulated reader.
TEST_F(DeviceOnSim, SameBytesAsTheLibrary) {
  const char* kApdu = "00A4040007A0000000031010";
  engine_.ClearRecord();
  ReaderHandle handle = link::OpenPort(engine_.port().c_str());
  ASSERT_NE(handle, nullptr);
  char atqa[5] = {}, uid[9] = {}, block[33] = {}, reply[VORLEX_REPLY_TEXT_SIZE] = {};
  char message[VORLEX_MESSAGE_SIZE] = {};
  unsigned char version[VORLEX_VERSION_SIZE] = {};
  PurchaseRecord info{}, input{}, prepared{};
  input.Amount = 7;
  std::strcpy(input.PrepData, "20261210093000");
  ASSERT_EQ(GET_HARDWARE_VER(handle, version, message), 0);
  ASSERT_EQ(REQ_14443_CARD(handle, 0, atqa, uid, message), 0);
  ASSERT_EQ(MIFS_AUTH(handle, 0, 0, "FFFFFFFFFFFF", message), 0);
  ASSERT_EQ(MIFS_READ(handle, 0, 0, block, message), 0);
  ASSERT_EQ(CPUCARD_APDU(handle, kApdu, reply, message), 0);
  ASSERT_EQ(CPU_PBOC_GET_CARDINFO(handle, 0, &info, message), 0);
  char module_data[13] = {};
  ASSERT_EQ(CPU_PBOC_INIT_MODULE(handle, 0, 0, module_data, message), 0);
  ASSERT_EQ(CPU_PBOC_REQA_CARD(handle, 0, input, &prepared, message), 0);
  link::ClosePort(handle);
  const std::vector<engine::Bytes> library_requests = engine_.Requests();

  engine_.ClearRecord();
  Device(Edition::kEpurse);
  const json versions = Call("reader.versions");
  const json card = Call("card.request");
  Call("mifare.authenticate", {{"sector", 0}, {"key_type", "A"}, {"key", "FFFFFFFFFFFF"}});
  const json read = Call("mifare.read", {{"sector", 0}, {"block", 0}});
  const json apdu = Call("apdu", {{"unit", "card"}, {"command", kApdu}});
  const json card_info = Call("purse.card_info");
  EXPECT_EQ(Call("purse.init")["module_data"], module_data);
  const json request =
      Call("purse.request", {{"amount", 7}, {"prep_data", "20261210093000"}, {"param", 0}});
  std::vector<engine::Bytes> device_requests = engine_.Requests();
  // reader.versions asks for both versions: the software version's request is the extra one.
  ASSERT_EQ(device_requests.size(), library_requests.size() + 1);
  device_requests.erase(device_requests.begin() + 1);
  EXPECT_EQ(device_requests, library_requests);

  std::size_t length = sizeof version;
  while (length > 0 && version[length - 1] == 0) --length;
  EXPECT_EQ(versions["hardware_hex"],
            engine::HexText(engine::Bytes(version, version + length), false));
  EXPECT_EQ(card, json({{"atqa", atqa}, {"uid", uid}}));
  EXPECT_EQ(read["data"], block);
  EXPECT_EQ(apdu["reply"], reply);
  EXPECT_EQ(card_info["card_id"], info.CardId);
  EXPECT_EQ(card_info["card_info"], info.CardInfo);
  EXPECT_EQ(card_info["card_value24"], info.CardValue24);
  for (const auto& [field, value] : std::initializer_list<std::pair<const char*, json>>{
           {"card_id", prepared.CardId},
           {"card_info", prepared.CardInfo},
           {"card_value24", prepared.CardValue24},
           {"prep_text", prepared.PrepText},
           {"prep_byte1", prepared.PrepByte1},
           {"prep_byte2", prepared.PrepByte2},
           {"prep_value16", prepared.PrepValue16},
           {"prep_value32", prepared.PrepValue32}}) {
    EXPECT_EQ(request[field], value) << field;
  }
}

// tests/guard_cases.json, the table every front end's tests run: a refused call is -32602
// naming the argument, with nothing sent; anything else reaches the reader.
TEST_F(DeviceOnSim, GuardCases) {
  std::ifstream file(VORLEX_GUARD_CASES);
  const json table = json::parse(file);
  std::size_t refusals = 0;
  for (const json& c : table.at("cases")) {
    const std::string call = c.at("call"), what = c.at("what");
    json args = c.at("args");
    std::string method;
    if (call == "read_block") {
      method = "mifare.read";
    } else if (call == "write_block") {
      method = "mifare.write";
    } else if (call == "authenticate") {
      method = "mifare.authenticate";
      const json type = args.at("key_type");
      args["key_type"] = type == 0 ? json("A") : type == 1 ? json("B") : type;
    } else if (call == "beep") {
      method = "reader.beep";
    } else if (call == "purse_request") {
      method = "purse.request";
    } else if (call == "purse_init") {
      method = "purse.init";
    } else {
      ADD_FAILURE() << what << ": no method for " << call;
      continue;
    }
    Device(c.at("edition") == "display" ? Edition::kDisplay : Edition::kEpurse);
    const std::size_t before = engine_.RequestCount();
    const MethodError error = ErrorOf(method, args);
    const std::size_t sent = engine_.RequestCount() - before;
    if (c.at("refused").is_null()) {
      EXPECT_NE(error.code, -32602) << what << ": " << error.message;
      EXPECT_GT(sent, 0u) << what << ": nothing sent";
      continue;
    }
    ++refusals;
    EXPECT_EQ(error.code, -32602) << what;
    EXPECT_EQ(sent, 0u) << what;
    EXPECT_EQ(error.data.value("argument", ""), c.at("refused").get<std::string>())
        << what << ": " << error.message;
  }
  EXPECT_GT(refusals, 20u);
}

// Arguments the guard table does not cover, refused before anything is sent.
TEST_F(DeviceOnSim, ArgumentRefusals) {
  Device(Edition::kEpurse);
  const struct {
    const char* method;
    json params;
    const char* argument;
  } cases[] = {
      {"apdu", {{"unit", "card"}, {"command", "00A4"}}, "command"},
      {"apdu", {{"unit", "card"}, {"command", "00A404000200"}}, "command"},   // case 4: no
      {"apdu", {{"unit", "rfsim"}, {"command", "00A4040005A0"}}, "command"},  // Lc past the end
      {"apdu", {{"unit", "sam3"}, {"command", "0084000008"}}, "unit"},
      {"apdu", {{"unit", "card"}, {"command", "00G4000008"}}, "command"},
      {"apdu", {{"unit", "card"}, {"command", std::string(400, '0')}}, "command"},
      {"mifare.authenticate", {{"sector", 1}, {"key_type", "C"}}, "key_type"},
      {"mifare.authenticate", {{"sector", 1}, {"key", "FFFF"}}, "key"},
      {"mifare.read", {{"sector", "1"}, {"block", 0}}, "sector"},
      {"mifare.write", {{"sector", 1}, {"block", 1}, {"data", "00"}}, "data"},
      {"sam.power_on", {{"slot", 3}}, "slot"},
      {"card.request", {{"wake_all", 1}}, "wake_all"},
      {"purse.balance", {{"module", "pboc"}}, "module"},
      {"purse.request", {{"amount", 1}, {"prep_data", "20261340093000"}}, "prep_data"},
      {"purse.purchase", {{"amount", 0}}, "amount"},
      {"reader.beep", {{"value", 1.5}}, "value"},
      {"reader.beep", {{"value", 18446744073709551615u}}, "value"},
  };
  for (const auto& c : cases) {
    const std::size_t before = engine_.RequestCount();
    const MethodError error = ErrorOf(c.method, c.params);
    EXPECT_EQ(error.code, -32602) << c.method << " " << c.params.dump();
    EXPECT_EQ(error.data.value("argument", ""), c.argument) << error.message;
    EXPECT_EQ(engine_.RequestCount(), before) << c.method;
  }
  EXPECT_EQ(ErrorOf("reader.beep", json::array({1})).code, -32602) << "params by position";
}

// A reader's refusal: 1000 with the status, the library's message (UTF-8) and the tool's hint;
// silence: 1001; a vanished port: 1002 and the device closed.
TEST_F(DeviceOnSim, ReaderErrors) {
  Device(Edition::kEpurse);
  Call("card.request");
  const MethodError refused = ErrorOf("mifare.read", {{"sector", 1}, {"block", 0}});
  EXPECT_EQ(refused.code, 1000) << refused.message;
  EXPECT_EQ(refused.data["status"], 0x0302);
  EXPECT_EQ(refused.data["status_hex"], "0302");
  EXPECT_EQ(refused.data["message"], "读块数据失败");
  EXPECT_NE(refused.data["hint"].get<std::string>().find("authentication"), std::string::npos);

  engine_.Script({engine::Reply::Silence(), engine::Reply::Silence(), engine::Reply::Silence()});
  const MethodError silent = ErrorOf("reader.beep");
  EXPECT_EQ(silent.code, 1001) << silent.message;
  EXPECT_EQ(silent.data["status"], 1);

  // A journal that cannot be written: the purchase is refused before any exchange.
  device_ = std::make_unique<ReaderDevice>(
      DeviceOptions{engine_.port(), Edition::kEpurse, "/proc/self/journal.db", ""});
  ASSERT_TRUE(device_->Open());
  const std::size_t before = engine_.RequestCount();
  const MethodError journal = ErrorOf("purse.purchase", {{"amount", 100}});
  EXPECT_EQ(journal.code, 1006) << journal.message;
  EXPECT_FALSE(journal.data["reason"].get<std::string>().empty());
  EXPECT_EQ(engine_.RequestCount(), before);
  EXPECT_EQ(reader_->CpuBalance(), 10000u);

  engine_.HangUpNow();
  const MethodError lost = ErrorOf("reader.beep");
  EXPECT_EQ(lost.code, 1002) << lost.message;
  EXPECT_FALSE(device_->is_open());
  EXPECT_EQ(ErrorOf("card.request").code, 1002);
}

// A card session belongs to the card it began with: another card, or none, is 1005 (and stays
// so until the card is requested again); the bound card is never probed by presence polling.
TEST_F(DeviceOnSim, CardChanged) {
  Device(Edition::kEpurse);
  Call("card.request");
  Call("mifare.authenticate", {{"sector", 1}});
  const std::size_t before = engine_.RequestCount();
  for (const json& event : device_->Poll()) {
    if (event["params"]["slot"] != "field") continue;
    EXPECT_EQ(event, json({{"method", "card.present"},
                           {"params", {{"slot", "field"}, {"uid", "3A5C719E"}}}}))
        << "the bound card is reported from its session";
  }
  usleep(250'000);
  device_->Poll();
  const std::size_t probes = engine_.RequestCount() - before;
  EXPECT_EQ(probes, 3u) << "the SAM slots and the RF-SIM once, the bound field never";
  EXPECT_EQ(Call("mifare.read", {{"sector", 1}, {"block", 0}})["data"].get<std::string>().size(),
            32u)
      << "the polls left the authentication as it was";

  sim::CardImage other = reader_->MifareImage();
  other[0] = 0x11;
  other[4] = other[0] ^ other[1] ^ other[2] ^ other[3];
  reader_->LoadImage(other);  // another card in the field
  const MethodError changed = ErrorOf("mifare.read", {{"sector", 1}, {"block", 0}});
  EXPECT_EQ(changed.code, 1005) << changed.message;
  EXPECT_EQ(changed.data["expected_uid"], "3A5C719E");
  EXPECT_EQ(changed.data["found_uid"], "115C719E");
  EXPECT_EQ(ErrorOf("apdu", {{"unit", "card"}, {"command", "0084000008"}}).code, 1005)
      << "lost stays lost";

  EXPECT_EQ(Call("card.request")["uid"], "115C719E");
  reader_->SetInserted(sim::Unit::kCard, false);
  const MethodError gone = ErrorOf("card.ats");
  EXPECT_EQ(gone.code, 1005);
  EXPECT_TRUE(gone.data["found_uid"].is_null());
}

// A reader that answers the re-selection with more bytes than ATQA and UID (a SAK, say): the
// card is still the bound one, and the failure stays the reader's refusal.
TEST_F(DeviceOnSim, LongerSelectionAnswerKeepsTheSession) {
  Device(Edition::kEpurse);
  Call("card.request");
  engine_.Script({engine::Reply::Status(0x0302),
                  engine::Reply::Status(0, {0x00, 0x04, 0x3A, 0x5C, 0x71, 0x9E, 0x08})});
  EXPECT_EQ(ErrorOf("mifare.read", {{"sector", 1}, {"block", 0}}).code, 1000);
  EXPECT_EQ(ErrorOf("card.ats").code, 0) << "the session is still usable";
}

// Presence polling: what is there at the first poll, then changes only.
TEST_F(DeviceOnSim, PollReportsChanges) {
  Device(Edition::kDisplay);
  std::set<std::string> present;
  for (const json& event : device_->Poll()) {
    EXPECT_EQ(event["method"], "card.present");
    present.insert(event["params"]["slot"]);
  }
  EXPECT_EQ(present, (std::set<std::string>{"field", "sam1", "sam2", "rfsim"}));
  EXPECT_TRUE(device_->Poll().empty());
  reader_->SetInserted(sim::Unit::kCard, false);
  usleep(250'000);  // the field is probed at most every 200 ms
  const std::vector<json> events = device_->Poll();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], json({{"method", "card.absent"}, {"params", {{"slot", "field"}}}}));
  reader_->SetInserted(sim::Unit::kCard, true);
  usleep(250'000);  // the field is probed at most every 200 ms
  const std::vector<json> back = device_->Poll();
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0]["params"]["uid"], "3A5C719E");
}

// docs/agent.md's method table lists exactly the device's methods.
TEST(ReaderDeviceDocs, MethodTable) {
  std::ifstream doc(VORLEX_AGENT_DOC);
  ASSERT_TRUE(doc) << VORLEX_AGENT_DOC;
  std::set<std::string> documented, methods;
  bool in_methods = false, in_table = false;
  for (std::string line; std::getline(doc, line);) {
    if (line.rfind("## ", 0) == 0) in_methods = line == "## Methods";
    if (line.rfind("| method |", 0) == 0) in_table = true;
    if (line.empty()) in_table = false;
    std::smatch match;
    if (in_methods && in_table && std::regex_search(line, match, std::regex("^\\| `([a-z_.]+)`"))) {
      documented.insert(match[1]);
    }
  }
  for (const std::string_view method : ReaderDevice::Methods()) {
    methods.insert(std::string(method));
    EXPECT_TRUE(ReaderDevice::Handles(method));
  }
  // The network side's own methods may stand in the table too; the device handles none.
  for (const char* server :
       {"agent.info", "reader.claim", "reader.release", "events.subscribe", "events.unsubscribe"}) {
    EXPECT_FALSE(ReaderDevice::Handles(server)) << server;
    documented.erase(server);
  }
  EXPECT_EQ(documented, methods);
}

}  // namespace
}  // namespace vorlex::agent
