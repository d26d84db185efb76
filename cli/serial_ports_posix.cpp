#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cli/serial_ports_posix.h"

namespace {

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// Names in `folder` that start with `prefix`, followed by digits only when
// `numbered`, ordered by their number (ttyS2 before ttyS10) or by name.
std::vector<std::string> NamesIn(const char* folder, const char* prefix, bool numbered) {
    std::vector<std::string> names;
    Directory directory(opendir(folder));
    if (!directory) return names;
    const std::size_t prefixLength = std::strlen(prefix);
    while (const dirent* entry = readdir(directory.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name.compare(0, prefixLength, prefix) != 0) continue;
        const std::string rest = name.substr(prefixLength);
        if (numbered && (rest.empty() || rest.find_first_not_of("0123456789") != rest.npos))
            continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        if (a.size() != b.size() && numbered) return a.size() < b.size();
        return a < b;
    });
    return names;
}

}  // namespace

const char* DefaultPortName() {
    return "/dev/ttyUSB0";
}

std::vector<SerialPortEntry> ListSerialPorts() {
    return ListSerialPortsIn("/dev");
}

std::vector<SerialPortEntry> ListSerialPortsIn(const std::string& deviceFolder) {
    std::vector<SerialPortEntry> ports;
    // The stable names udev gives USB adapters, with the device each one
    // currently points to.
    const std::string byId = deviceFolder + "/serial/by-id/";
    for (const std::string& name : NamesIn(byId.c_str(), "", false)) {
        const std::string path = byId + name;
        char target[PATH_MAX];
        ports.push_back({path, realpath(path.c_str(), target) != nullptr ? target : ""});
    }
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        for (const std::string& name : NamesIn(deviceFolder.c_str(), prefix, true))
            ports.push_back({deviceFolder + "/" + name, ""});
    }
    return ports;
}

AdapterDescription DescribeAdapter(const std::string& portName) {
    return DescribeAdapterIn(portName, "/dev", "/sys");
}

AdapterDescription DescribeAdapterIn(const std::string& portName, const std::string& deviceFolder,
                                     const std::string& sysFolder) {
    AdapterDescription description;
    char real[PATH_MAX];
    if (realpath(portName.c_str(), real) == nullptr) return description;
    const std::string device = real;

    // The port may have been named by its stable link already; otherwise the
    // first link, by name, that leads to the same device.
    const std::string byId = deviceFolder + "/serial/by-id/";
    if (portName.compare(0, byId.size(), byId) == 0) {
        description.byIdName = portName;
    } else {
        for (const std::string& name : NamesIn(byId.c_str(), "", false)) {
            char target[PATH_MAX];
            if (realpath((byId + name).c_str(), target) != nullptr && device == target) {
                description.byIdName = byId + name;
                break;
            }
        }
    }

    // sysfs links the terminal to its device, and the device to the driver
    // bound to it; a built-in UART without a driver of its own has no link.
    const std::string tty = device.substr(device.rfind('/') + 1);
    const std::string link = sysFolder + "/class/tty/" + tty + "/device/driver";
    char driver[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), driver, sizeof driver - 1);
    if (length > 0) {
        const std::string path(driver, static_cast<std::size_t>(length));
        description.driver = path.substr(path.rfind('/') + 1);
    }
    return description;
}

std::string PortAccessHint(const std::string& portName) {
    if (access(portName.c_str(), R_OK | W_OK) == 0 || errno != EACCES) return "";
    struct stat info {};
    if (stat(portName.c_str(), &info) != 0) return "";
    const group* owner = getgrgid(info.st_gid);
    const std::string name = owner != nullptr ? owner->gr_name : std::to_string(info.st_gid);
    return "the port belongs to the group " + name + ": add the user to it (sudo usermod -aG " +
           name + " $USER) and log in again";
}
