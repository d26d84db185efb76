// vx40-sim: a simulated Velmo 2.0 device on a pseudo-terminal.
//
// The first line on stdout is the path of the terminal to open as the serial
// port; everything else (trace, errors) goes to stderr. The program serves
// until SIGTERM or SIGINT and then exits with 0. With --device it is a line
// of several devices, each at its own node.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sim/option_text.h"
#include "sim/simulated_device.h"
#include "vx40_version.h"

namespace {

// Absence words of the identity record, accepted as "none" on the command line.
CLI::Transformer NoneMeans(const char* value) {
    return CLI::Transformer(std::map<std::string, std::string>{{"none", value}});
}

// Default shown in --help for a word usually written in hexadecimal.
std::string Hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// Removes the symbolic link on every way out of main.
class LinkHolder {
  public:
    LinkHolder() = default;
    ~LinkHolder() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    LinkHolder(const LinkHolder&) = delete;
    LinkHolder& operator=(const LinkHolder&) = delete;

    bool Make(const std::string& target, const std::string& path) {
        // An old link left by a killed run is replaced; anything else at the
        // path is not touched.
        struct stat status {};
        if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) ::unlink(path.c_str());
        if (::symlink(target.c_str(), path.c_str()) != 0) return false;
        path_ = path;
        return true;
    }
    // Takes the link away until the next Make, as a port that vanished.
    void Remove() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// The application version once written: a version, or "keep" for none.
bool ReadWrittenVersion(std::string_view text, std::optional<std::uint16_t>& version) {
    if (text == "keep") {
        version.reset();
        return true;
    }
    const auto number = ParseNumber(text, 0xFFFF);
    if (!number) return false;
    version = static_cast<std::uint16_t>(*number);
    return true;
}

// One --device: NODE[:TYPE[:SERIAL[:WRITTEN]]], the rest as `base`. Each device's
// calibration and configuration contents also depend on its node, so a
// record read from the wrong device is caught.
std::optional<DeviceConfig> ParseDevice(std::string_view text, const DeviceConfig& base) {
    const std::vector<std::string_view> parts = ColonFields(text);
    if (parts.size() > 4) return std::nullopt;
    DeviceConfig config = base;
    const auto node = ParseNumber(parts[0], 255);
    if (!node) return std::nullopt;
    config.node = static_cast<std::uint8_t>(*node);
    config.recordSeed = base.recordSeed + *node;
    if (parts.size() > 1) {
        if (parts[1].size() > 4) return std::nullopt;
        config.deviceType = {};
        std::memcpy(config.deviceType.data(), parts[1].data(), parts[1].size());
    }
    if (parts.size() > 2) {
        const auto serial =
            parts[2] == "none" ? std::optional(kSimAbsentSerial) : ParseNumber(parts[2], 0xFFFFFF);
        if (!serial) return std::nullopt;
        config.serialNumber = *serial;
    }
    if (parts.size() > 3 && !ReadWrittenVersion(parts[3], config.writtenAppVersion))
        return std::nullopt;
    return config;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    DeviceConfig& device = options.device;
    std::string linkPath;
    std::string vanish;
    std::string deviceType = "VX40";
    std::vector<std::string> faults;
    std::vector<std::string> devices;
    unsigned node = device.node;
    std::uint32_t serial = device.serialNumber;

    CLI::App app{
        "Simulated Velmo 2.0 device on a pseudo-terminal.\n"
        "Prints the terminal's path as the first line of stdout and serves it until SIGTERM "
        "or SIGINT.\nNumbers may be written in decimal or with 0x in hexadecimal; the words "
        "of the identity record also accept \"none\" (all bits set: not present).",
        "vx40-sim"};

    app.add_option("--link", linkPath,
                   "Also make a symbolic link to the terminal at this path (removed at exit)");
    app.add_flag("--trace", options.trace,
                 "Print every frame received (rx) and sent (tx) on stderr, in hex, with the time "
                 "in ms since the start");

    auto* deviceGroup = app.add_option_group("Device");
    auto* nodeOption = deviceGroup->add_option("--node", node, "Node number the device answers to")
                           ->check(CLI::Range(0u, 255u))
                           ->capture_default_str();
    deviceGroup
        ->add_option("--device", devices,
                     "NODE[:TYPE[:SERIAL[:WRITTEN]]], repeatable: a line of several devices, "
                     "each answering its own node from its own memory; TYPE, SERIAL and "
                     "WRITTEN default to --type, --serial and --written-version, everything "
                     "else is as the options below give it. The calibration and configuration "
                     "contents also depend on the node. Requests to other nodes go "
                     "unanswered. Example: --device 3 --device 7:VX41:1001:keep")
        ->excludes(nodeOption)
        ->check([](const std::string& text) {
            return ParseDevice(text, DeviceConfig{}) ? std::string()
                                                     : std::string("not a device: ") + text;
        });
    deviceGroup
        ->add_option("--type", deviceType,
                     "Device type, up to four characters (shorter is padded with zero bytes)")
        ->check([](const std::string& text) {
            return text.size() <= 4 ? std::string() : std::string("at most four characters");
        })
        ->capture_default_str();
    deviceGroup->add_option("--serial", serial, "Serial number, 24 bits; none: not set")
        ->transform(NoneMeans("0xFFFFFF"))
        ->check(CLI::Range(0u, 0xFFFFFFu))
        ->capture_default_str();
    deviceGroup
        ->add_option("--boot-version", device.bootVersion,
                     "Boot-loader version, high byte major, low byte minor (0x0102 is 1.2)")
        ->transform(NoneMeans("0xFFFF"))
        ->default_str(Hex(device.bootVersion, 4));
    deviceGroup
        ->add_option("--boot-date", device.bootDate,
                     "Boot-loader date word, packed digits day month year (0x14052015)")
        ->transform(NoneMeans("0xFFFFFFFF"))
        ->default_str(Hex(device.bootDate, 8));
    deviceGroup->add_option("--app-version", device.appVersion, "Application version")
        ->transform(NoneMeans("0xFFFF"))
        ->default_str(Hex(device.appVersion, 4));
    deviceGroup->add_option("--app-date", device.appDate, "Application date word")
        ->transform(NoneMeans("0xFFFFFFFF"))
        ->default_str(Hex(device.appDate, 8));
    deviceGroup
        ->add_option_function<std::string>(
            "--written-version",
            [&device](const std::string& text) {
                ReadWrittenVersion(text, device.writtenAppVersion);
            },
            "Application version reported once a module has been written (0x0106 is 01.06); "
            "keep (the default): the old version stays, as when the new application did not "
            "take")
        ->check([](const std::string& text) {
            std::optional<std::uint16_t> version;
            return ReadWrittenVersion(text, version) ? std::string()
                                                     : std::string("a version or keep");
        });
    deviceGroup
        ->add_option("--written-date", device.writtenAppDate,
                     "Application date word reported once a module has been written")
        ->default_str(Hex(device.writtenAppDate, 8));
    deviceGroup
        ->add_option("--required-boot", device.requiredBootVersion,
                     "Boot-loader version the application requires")
        ->transform(NoneMeans("0xFFFF"))
        ->default_str(Hex(device.requiredBootVersion, 4));
    deviceGroup
        ->add_option("--record-length", device.infoRecordLength,
                     "Data bytes in the reply to command 18 (the full record is 25; fewer "
                     "simulate a short record)")
        ->check(CLI::Range(0, static_cast<int>(DeviceModel::kMaxInfoRecordLength)))
        ->capture_default_str();
    deviceGroup
        ->add_option("--record-seed", device.recordSeed,
                     "Seed of the calibration and configuration contents")
        ->default_str(Hex(device.recordSeed, 4));
    deviceGroup
        ->add_option("--record-fill", device.recordFill,
                     "Fill the data of the calibration and configuration records with this one "
                     "byte instead of the seeded pattern; 0x10 (or 0x02, 0x03) doubles every byte "
                     "on the line, a reply of about 2070 bytes that outlasts the 250 ms reply wait")
        ->check(CLI::Range(0, 255));

    auto* faultGroup = app.add_option_group("Faults");
    faultGroup
        ->add_option(
            "--fault", faults,
            "CMD:OCCURRENCE:KIND[:VALUE[:GAP]], repeatable. CMD is a command number (16, 18, "
            "19, 20, 21) or any; OCCURRENCE the Nth request of that command, counted from 1 "
            "with retransmissions included, or every (0). KIND: silence (no reply), stale (a "
            "copy with the previous sequence number first, the right reply GAP ms later, "
            "default 50), bad-checksum, other-node (node + 1), refuse (not executed, refused "
            "with error byte VALUE, default 255), short (cut to VALUE bytes; by default "
            "sequence, node and command only), delay (reply VALUE ms late), split (reply in VALUE "
            "pieces, default 2, GAP ms apart, default 5), noise (VALUE bytes of noise, default "
            "24, never a start or end byte, in place of the reply). On a line of several devices "
            "a rule "
            "applies to each, counting "
            "its own requests. Example: --fault 19:3:silence --fault any:every:delay:20")
        ->check([](const std::string& text) {
            return ParseFaultRule(text) ? std::string() : std::string("not a fault rule: ") + text;
        });
    faultGroup
        ->add_option("--corrupt", options.corruptShare,
                     "Share (0 to 1) of frames in each direction damaged by the line: damaged "
                     "requests go unanswered, damaged replies fail their checksum")
        ->check(CLI::Range(0.0, 1.0));
    faultGroup
        ->add_option("--seed", options.seed,
                     "Seed of the line damage and of the noise fault's bytes")
        ->capture_default_str();
    faultGroup->add_flag(
        "--pace", options.pace,
        "Keep to the line's speed, 57600 baud: replies go out no faster than 10 bits a byte, "
        "and a request counts as received only after its own line time");
    auto* unplugOption = faultGroup->add_option(
        "--unplug-after", options.unplugAfterFrames,
        "Close the line once N frames have been received (the Nth is not "
        "answered), as a pulled cable; the program keeps running until stopped");
    faultGroup
        ->add_option(
            "--vanish", vanish,
            "N:MS: the port vanishes once N frames (1 or more) have been received (the Nth is not "
            "answered), as an adapter pulled out: the terminal closes and the --link "
            "goes; MS ms later it comes back on a new terminal, with the link at the "
            "same path (its new path also on stderr). Once only")
        ->excludes(unplugOption)
        ->check([](const std::string& text) {
            const std::vector<std::string_view> parts = ColonFields(text);
            return parts.size() == 2 && ParseNumber(parts[0], 1'000'000).value_or(0) > 0 &&
                           ParseNumber(parts[1], 3'600'000)
                       ? std::string()
                       : std::string("not N:MS: ") + text;
        });
    faultGroup->add_flag("--echo", options.echo,
                         "Send every received byte straight back before any reply, as a "
                         "half-duplex RS-485 adapter echoes its own transmission");
    faultGroup
        ->add_flag("--echo-noise", options.echoNoise,
                   "With --echo: one byte of noise (0x00) before each frame echoed, as an "
                   "unbiased line reads while it floats at the turnaround")
        ->needs("--echo");
    faultGroup->add_option("--reply-delay", options.replyDelayMs, "Pause before every reply, in ms")
        ->check(CLI::NonNegativeNumber);

    app.set_version_flag("--version", "vx40-sim " VX40_VERSION_TEXT);
    CLI11_PARSE(app, argc, argv);

    if (!vanish.empty()) {
        const std::vector<std::string_view> parts = ColonFields(vanish);
        options.unplugAfterFrames = static_cast<int>(*ParseNumber(parts[0], 1'000'000));
        options.replugAfterMs = static_cast<int>(*ParseNumber(parts[1], 3'600'000));
    }
    device.node = static_cast<std::uint8_t>(node);
    device.serialNumber = serial;
    device.deviceType = {};
    std::memcpy(device.deviceType.data(), deviceType.data(), deviceType.size());
    std::set<std::uint8_t> nodes;
    for (const std::string& text : devices) {
        const DeviceConfig config = *ParseDevice(text, device);
        if (!nodes.insert(config.node).second) {
            std::fprintf(stderr, "vx40-sim: two devices at node %u\n", config.node);
            return 2;
        }
        options.devices.push_back(config);
    }

    // Block the stop signals before any thread exists, so every thread
    // inherits the mask and sigwait below is the only place they arrive.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Declared before the device, whose serving thread takes the link away
    // and makes it again while the port vanishes.
    LinkHolder link;
    options.lineChanged = [&link](const std::string& slavePath) {
        if (slavePath.empty()) {
            link.Remove();
            std::fprintf(stderr, "vx40-sim: the port vanished\n");
            return;
        }
        if (!link.Path().empty() && !link.Make(slavePath, link.Path()))
            std::fprintf(stderr, "vx40-sim: cannot make the link %s again: %s\n",
                         link.Path().c_str(), std::strerror(errno));
        std::fprintf(stderr, "vx40-sim: the port is back at %s\n", slavePath.c_str());
    };
    SimulatedDevice simulated(options);
    for (const std::string& text : faults)
        simulated.AddFault(*ParseFaultRule(text));
    if (!simulated.Start()) {
        std::fprintf(stderr, "vx40-sim: cannot create the pseudo-terminal: %s\n",
                     simulated.LastError().c_str());
        return 1;
    }
    if (!linkPath.empty() && !link.Make(simulated.SlavePath(), linkPath)) {
        std::fprintf(stderr, "vx40-sim: cannot make the link %s: %s\n", linkPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", simulated.SlavePath().c_str());
    std::fflush(stdout);

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
    simulated.Stop();
    if (options.trace)
        std::fprintf(stderr, "vx40-sim: stopped by signal %d after %d frames\n", received,
                     simulated.FramesReceived());
    return 0;
}
