#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "cli/serial_ports.h"

namespace {

// The number of a name such as COM12, or 0 when it is not one.
unsigned long ComNumber(const std::wstring& name) {
    if (name.size() < 4 || name.compare(0, 3, L"COM") != 0) return 0;
    unsigned long number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::iswdigit(name[i])) return 0;
        number = number * 10 + static_cast<unsigned long>(name[i] - L'0');
    }
    return number;
}

}  // namespace

const char* DefaultPortName() {
    return "COM1";
}

std::vector<SerialPortEntry> ListSerialPorts() {
    // Every DOS device name the system knows, as a list of strings ended by
    // an empty one; the buffer grows until the list fits.
    std::wstring names(16 * 1024, L'\0');
    for (;;) {
        const DWORD length =
            QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (length != 0) {
            names.resize(length);
            break;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() > (1u << 22)) return {};
        names.resize(names.size() * 2);
    }

    std::vector<std::pair<unsigned long, std::string>> found;
    for (std::size_t at = 0; at < names.size() && names[at] != L'\0';) {
        const std::wstring name = names.c_str() + at;
        at += name.size() + 1;
        const unsigned long number = ComNumber(name);
        if (number != 0) found.emplace_back(number, "COM" + std::to_string(number));
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());

    std::vector<SerialPortEntry> ports;
    for (const auto& entry : found)
        ports.push_back({entry.second, ""});
    return ports;
}

std::string PortAccessHint(const std::string& portName) {
    // The channel's own reason already says what Windows reported (a port
    // held by another program shows as access denied); nothing to add.
    (void)portName;
    return "";
}

AdapterDescription DescribeAdapter(const std::string& portName) {
    // Windows names its ports COMn and has no stable names or driver links
    // of the kind to show.
    (void)portName;
    return {};
}
