// The POSIX port listing with its device folder given, so that the order can
// be shown on a folder made for the purpose.
#pragma once

#include <string>
#include <vector>

#include "cli/serial_ports.h"

// The ports under `deviceFolder` (the system's is "/dev"): its
// serial/by-id links in name order, then ttyUSB, ttyACM and ttyS devices,
// each group in the order of its numbers.
std::vector<SerialPortEntry> ListSerialPortsIn(const std::string& deviceFolder);

// DescribeAdapter with the device folder ("/dev") and the sysfs folder
// ("/sys") given.
AdapterDescription DescribeAdapterIn(const std::string& portName, const std::string& deviceFolder,
                                     const std::string& sysFolder);
