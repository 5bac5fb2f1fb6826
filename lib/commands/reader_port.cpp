// Open_Reader and Close_Reader: the edition turns the name into a device, the port layer does
// the rest.
#include "editions/edition.h"
#include "link/serial_port.h"
#include "vorlex.h"

extern "C" {

VORLEX_API ReaderHandle VORLEX_CALL Open_Reader(const char* port_name) {
  char buffer[vorlex::link::kDevicePathSize];
  return vorlex::link::OpenPort(vorlex::edition::DevicePathFor(port_name, buffer));
}

VORLEX_API int VORLEX_CALL Close_Reader(ReaderHandle reader) {
  return vorlex::link::ClosePort(reader);
}

}  // extern "C"
