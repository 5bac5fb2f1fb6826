// vorlex ports: the machine's serial ports from sysfs, as libserialport and pyserial list them
// on Linux, and with --probe which of them a reader answers on.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "commands.h"
#include "numbers.h"

namespace vorlex::cli {
namespace {

namespace fs = std::filesystem;

struct SerialPort {
  std::string name;    // ttyUSB0
  std::string device;  // /dev/ttyUSB0
  std::string by_id, subsystem, driver, com_name;
  bool usb = false;
  std::string vendor_id, product_id, manufacturer, product, serial_number;
};

// Tests point this at a tree of their own; it is "" on a real system.
std::string SystemRoot() {
  const char* root = std::getenv("VORLEX_SYSTEM_ROOT");
  return root == nullptr ? "" : root;
}

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string LinkName(const fs::path& link) {
  std::error_code error;
  const fs::path target = fs::canonical(link, error);
  return error ? "" : target.filename().string();
}

std::vector<SerialPort> ListPorts() {
  const std::string root = SystemRoot();
  std::vector<SerialPort> ports;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root + "/sys/class/tty", error)) {
    const fs::path device_link = entry.path() / "device";
    std::error_code missing;
    if (!fs::exists(device_link, missing)) continue;  // virtual terminals, ptys
    SerialPort port;
    port.name = entry.path().filename().string();
    port.device = root + "/dev/" + port.name;
    port.subsystem = LinkName(device_link / "subsystem");
    // The legacy ISA placeholders (ttyS0-31 with no chip behind most of them) hang off the
    // platform bus; pyserial leaves them out too.
    if (port.subsystem == "platform") continue;
    port.driver = LinkName(device_link / "driver");
    port.com_name = ComNameOf("/dev/" + port.name);
    const fs::path device = fs::canonical(device_link, missing);
    fs::path interface;
    if (port.subsystem == "usb-serial") interface = device.parent_path();
    if (port.subsystem == "usb") interface = device;
    if (!interface.empty()) {
      const fs::path usb = interface.parent_path();
      port.usb = true;
      port.vendor_id = ReadLine(usb / "idVendor");
      port.product_id = ReadLine(usb / "idProduct");
      port.manufacturer = ReadLine(usb / "manufacturer");
      port.product = ReadLine(usb / "product");
      port.serial_number = ReadLine(usb / "serial");
    }
    ports.push_back(port);
  }
  // The stable names udev gives.
  for (const auto& link : fs::directory_iterator(root + "/dev/serial/by-id", error)) {
    std::error_code broken;
    const fs::path target = fs::canonical(link.path(), broken);
    if (broken) continue;
    for (SerialPort& port : ports) {
      std::error_code other;
      if (fs::canonical(port.device, other) == target) port.by_id = link.path().string();
    }
  }
  std::sort(ports.begin(), ports.end(),
            [](const SerialPort& a, const SerialPort& b) { return a.device < b.device; });
  return ports;
}

struct ProbeResult {
  bool answered = false;
  std::string version, error;
};

// One hardware-version exchange; the port is opened and closed for it.
ProbeResult Probe(const EditionLibrary& library, const std::string& device) {
  ProbeResult probe;
  try {
    const Port port(library, device);
    unsigned char version[VORLEX_VERSION_SIZE] = {};
    Message message;
    const int result = library.GET_HARDWARE_VER(port.handle(), version, message.text);
    probe.answered = result != 1;
    if (result == 0) {
      probe.version.assign(reinterpret_cast<const char*>(version),
                           strnlen(reinterpret_cast<const char*>(version), sizeof version));
    } else {
      probe.error = result == 1 ? "no answer" : "status 0x" + StatusHex(result);
    }
  } catch (const SetupError& error) {
    probe.error = error.what();
  }
  return probe;
}

}  // namespace

void AddPortsCommands(CLI::App& app, Registry& registry) {
  struct PortsArgs {
    bool probe = false;
    std::vector<std::string> named;
  };
  auto a = std::make_shared<PortsArgs>();
  CLI::App* ports =
      app.add_subcommand("ports",
                         "list the serial ports (from sysfs), and with --probe which ones a reader "
                         "answers on");
  ports->add_flag("--probe", a->probe,
                  "ask each USB serial port (and each PORT named) for the reader's hardware "
                  "version: this writes to them");
  ports->add_option("port", a->named, "ports to probe even when they are not USB adapters");
  registry.Add(ports, [a](Session& s) {
    if (!a->named.empty() && !a->probe) throw UsageError("PORT names are for --probe");
    std::vector<SerialPort> listed = ListPorts();
    std::unique_ptr<EditionLibrary> library;
    if (a->probe) {
      const Edition edition =
          s.options().edition == "display" ? Edition::kDisplay : Edition::kEpurse;
      library = std::make_unique<EditionLibrary>(edition, s.options().library);
    }
    for (const std::string& name : a->named) {
      const bool known = std::any_of(listed.begin(), listed.end(),
                                     [&](const SerialPort& p) { return p.device == name; });
      if (known) continue;
      SerialPort port;
      port.name = port.device = name;
      port.com_name = ComNameOf(name);
      listed.push_back(port);
    }
    Json out = Json::array();
    if (listed.empty()) s.out().Line("no serial ports found");
    for (const SerialPort& port : listed) {
      Json entry = {{"device", port.device}, {"name", port.name}};
      entry["by_id"] = port.by_id.empty() ? Json() : Json(port.by_id);
      entry["com_name"] = port.com_name.empty() ? Json() : Json(port.com_name);
      entry["subsystem"] = port.subsystem;
      entry["driver"] = port.driver;
      entry["usb"] = port.usb;
      std::string title = port.device + (port.com_name.empty() ? "" : " (" + port.com_name + ")");
      s.out().Line(title);
      if (!port.by_id.empty()) s.out().Line("  by-id         " + port.by_id);
      if (port.usb) {
        entry["vendor_id"] = port.vendor_id;
        entry["product_id"] = port.product_id;
        entry["manufacturer"] = port.manufacturer;
        entry["product"] = port.product;
        entry["serial_number"] = port.serial_number;
        s.out().Line("  usb           " + port.vendor_id + ":" + port.product_id + " " +
                     port.manufacturer + " / " + port.product +
                     (port.serial_number.empty() ? "" : ", serial " + port.serial_number));
      }
      if (!port.driver.empty() || !port.subsystem.empty()) {
        s.out().Line("  driver        " + port.driver + " (" + port.subsystem + ")");
      }
      const bool named = std::find(a->named.begin(), a->named.end(), port.device) != a->named.end();
      if (a->probe && (port.usb || named)) {
        const ProbeResult probe = Probe(*library, port.device);
        entry["probed"] = true;
        entry["reader_answers"] = probe.answered;
        if (!probe.version.empty()) entry["hardware_version"] = probe.version;
        if (!probe.error.empty()) entry["probe_error"] = probe.error;
        s.out().Line(std::string("  reader        ") +
                     (probe.answered ? "answers" : "does not answer") +
                     (probe.version.empty() ? "" : ": " + probe.version) +
                     (probe.error.empty() ? "" : " (" + probe.error + ")"));
      } else {
        entry["probed"] = false;
      }
      out.push_back(entry);
    }
    s.out().JsonOnly("ports", out);
  });
}

}  // namespace vorlex::cli
