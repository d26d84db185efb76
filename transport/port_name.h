// How a port name typed by the operator becomes the name the system opens.
#pragma once

#include <cstddef>
#include <string_view>

// The device namespace of Windows: a name with this prefix reaches the device
// itself, bypassing the file system's name rules.
inline constexpr std::string_view kDeviceNamespacePrefix = "\\\\.\\";

// True for a name of the form COMn (any case, n any decimal number), which
// must be opened as \\.\COMn. Only COM1 to COM9 are also reserved DOS device
// names that CreateFile understands bare; "COM10" and above would be taken for
// a file in the current folder and fail, and USB serial adapters are often
// given such numbers. The prefixed form works for every number. Any other
// name, including one that already carries a prefix, goes to the system as
// the operator gave it.
constexpr bool NeedsDeviceNamespace(std::string_view name) {
    if (name.size() < 4) return false;
    for (std::size_t i = 0; i < 3; ++i) {
        const char lower = static_cast<char>(name[i] | 0x20);
        if (lower != "com"[i]) return false;
    }
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
    }
    return true;
}
