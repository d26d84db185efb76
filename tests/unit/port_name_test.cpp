#include "transport/port_name.h"

#include <gtest/gtest.h>

namespace {

TEST(PortName, ComNamesOfAnyNumberAndCaseGoThroughTheDeviceNamespace) {
    for (const char* name : {"COM1", "COM9", "COM10", "com12", "Com256", "cOM0", "COM1000"}) {
        EXPECT_TRUE(NeedsDeviceNamespace(name)) << name;
    }
}

TEST(PortName, OtherNamesGoUnchanged) {
    for (const char* name :
         {"", "COM", "com", "COMx", "COM1a", "COM-1", "COM 1", " COM1", "COM1 ", "\\\\.\\COM12",
          "\\\\?\\COM3", "CNCA0", "LPT1", "/dev/ttyUSB0", "CO1", "KOM1", "C\xD0\x9EM1"}) {
        EXPECT_FALSE(NeedsDeviceNamespace(name)) << name;
    }
}

}  // namespace
