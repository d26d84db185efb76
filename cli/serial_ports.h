// What the system knows of its serial ports.
#pragma once

#include <string>
#include <vector>

struct SerialPortEntry {
    std::string name;    // what -p takes
    std::string target;  // the device a link points to; empty when none
};

// The port used when -p is not given.
const char* DefaultPortName();

// The serial ports present, in the order the technician should see them.
std::vector<SerialPortEntry> ListSerialPorts();

// A hint for a port that could not be opened, when the system tells why in a
// way the technician can act on (for example a group the user lacks); empty
// otherwise.
std::string PortAccessHint(const std::string& portName);

// What the system says of the adapter behind a local port, so that the
// technician can tell which one is plugged in.
struct AdapterDescription {
    std::string byIdName;  // the /dev/serial/by-id link pointing at the port, empty when none
    std::string driver;    // the kernel driver bound to it (sysfs), empty when none
};

// Empty for a port the system knows nothing of (and on Windows).
AdapterDescription DescribeAdapter(const std::string& portName);
