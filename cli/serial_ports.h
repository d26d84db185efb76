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
