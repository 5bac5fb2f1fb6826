// The reader's side on a serial device the user names (a null-modem cable, a USB adapter wired
// back to the host, one end of a pty pair), instead of a pty of our own.
#pragma once

#include <string>

#include "scripted_reader.h"

namespace vorlex::sim {

// Opens `path` as the library opens its port (engine::OpenSerialLine). Throws std::system_error.
int OpenRawDevice(const std::string& path);

// Answers every request frame read from `device` until `stop` (a descriptor) becomes readable.
// Returns false when the device failed or went away.
bool ServeDevice(int device, int stop, const engine::ScriptedReader::Responder& responder);

}  // namespace vorlex::sim
