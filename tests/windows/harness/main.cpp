// windows_suite --config <build>/tests/windows/suite.conf [gtest flags]
// The configuration decides the parameters of the tests, so it is read before gtest starts.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>

#include "support.h"

int main(int argc, char** argv) {
  const char* config = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) config = argv[i + 1];
    if (std::strncmp(argv[i], "--config=", 9) == 0) config = argv[i] + 9;
  }
  if (config == nullptr) {
    std::cerr << "usage: " << argv[0] << " --config <build>/tests/windows/suite.conf\n";
    return 2;
  }
  try {
    vorlex::windows_suite::Config::Load(config);
  } catch (const std::exception& error) {
    std::cerr << error.what() << "\n";
    return 2;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
