// The parts of vx40 that the process tests cannot reach or would reach
// only slowly: the whole exit-code table, the status line drawn in place
// on a terminal, and the Save As answers of the terminal dialog.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "cli/exit_codes.h"
#include "cli/options.h"
#include "cli/serial_ports_posix.h"
#include "cli/status_output.h"
#include "cli/terminal_dialog.h"
#include "dialog/control_ids.h"
#include "fleet/node_list.h"

namespace {

namespace fs = std::filesystem;

// Everything written to a temporary stream.
class CapturedStream {
  public:
    CapturedStream() : file_(std::tmpfile()) {}
    ~CapturedStream() { std::fclose(file_); }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;
    std::FILE* get() const { return file_; }
    std::string Text() const {
        std::fflush(file_);
        std::rewind(file_);
        std::string text;
        for (int c; (c = std::fgetc(file_)) != EOF;)
            text += static_cast<char>(c);
        return text;
    }

  private:
    std::FILE* file_;
};

TEST(ExitCodes, EveryResultHasItsCode) {
    EXPECT_EQ(ExitCodeOf(0, false), 0);
    for (ResultCode file : {-2019, -2020, -2021, -2025, -2026})
        EXPECT_EQ(ExitCodeOf(file, false), 3) << file;
    EXPECT_EQ(ExitCodeOf(-2016, false), 4);
    EXPECT_EQ(ExitCodeOf(-2005, false), 5);
    EXPECT_EQ(ExitCodeOf(-2011, false), 5);
    for (ResultCode refused = -2108; refused <= -2101; ++refused)
        EXPECT_EQ(ExitCodeOf(refused, false), 6) << refused;
    EXPECT_EQ(ExitCodeOf(-2109, false), 130);
    // Everything else, the neighbours of the ranges included.
    for (ResultCode other : {-2001, -2002, -2027, -2100, -2110, -1, 1, 12290})
        EXPECT_EQ(ExitCodeOf(other, false), 1) << other;
    // A backup refused because its file exists is a file failure.
    EXPECT_EQ(ExitCodeOf(static_cast<ResultCode>(kTargetExistsError), true), 3);
}

TEST(Options, NodeNumbersAreDigitsFrom0To255) {
    for (const char* good : {"0", "7", "255", "007"})
        EXPECT_TRUE(IsNodeNumber(good)) << good;
    for (const char* bad : {"", "256", "300", "-1", "+1", " 1", "1 ", "1a", "0x1", "1000"})
        EXPECT_FALSE(IsNodeNumber(bad)) << bad;
}

TEST(NodeList, NumbersAndRangesInTheirOrderEachNodeOnce) {
    using Nodes = std::vector<std::uint8_t>;
    const struct {
        const char* text;
        Nodes nodes;          // empty: refused
        const char* problem;  // a word the refusal must contain
    } cases[] = {
        {"7", {7}, ""},
        {"1,5,10-12", {1, 5, 10, 11, 12}, ""},
        {"20,3-4,0", {20, 3, 4, 0}, ""},
        {"255,254-254,007", {255, 254, 7}, ""},
        {"0-255", {}, ""},  // all 256, checked below
        {"", {}, "empty"},
        {"1,,2", {}, "empty"},
        {"1,", {}, "empty"},
        {"3-1", {}, "backwards"},
        {"300", {}, "'300'"},
        {"250-256", {}, "'250-256'"},
        {"a", {}, "'a'"},
        {"1-", {}, "'1-'"},
        {"-1", {}, "'-1'"},
        {"1-2-3", {}, "'1-2-3'"},
        {" 1", {}, "' 1'"},
        {"1,2,5-7,6", {}, "6 is named twice"},
        {"4,4", {}, "4 is named twice"},
    };
    for (const auto& c : cases) {
        Nodes nodes{99};
        std::string problem;
        const bool accepted = ParseNodeList(c.text, nodes, problem);
        EXPECT_EQ(accepted, c.problem[0] == '\0') << c.text << ": " << problem;
        if (std::string_view(c.text) == "0-255") {
            ASSERT_EQ(nodes.size(), 256u);
            EXPECT_EQ(nodes.front(), 0);
            EXPECT_EQ(nodes.back(), 255);
        } else {
            EXPECT_EQ(nodes, c.nodes) << c.text;
        }
        EXPECT_NE(problem.find(c.problem), std::string::npos) << c.text << ": " << problem;
    }
}

TEST(Options, GlobalOptionsMayFollowTheCommand) {
    const char* argv[] = {
        "vx40", "backup", "configuration", "-p",      "/dev/ttyACM3", "-o",     "out.vx4",
        "-n",   "12",     "--json",        "--force", "-q",           "--trace"};
    CliOptions options;
    const ParseResult parsed = ParseArguments(std::size(argv), argv, options);
    ASSERT_TRUE(parsed.run);
    EXPECT_EQ(options.command, CommandKind::Backup);
    EXPECT_EQ(options.backupKind, BackupKind::Configuration);
    EXPECT_EQ(options.port, "/dev/ttyACM3");
    EXPECT_EQ(options.node, "12");
    EXPECT_EQ(options.outputPath, "out.vx4");
    EXPECT_TRUE(options.json && options.force && options.quiet && options.trace);

    const char* defaults[] = {"vx40", "info"};
    CliOptions plain;
    ASSERT_TRUE(ParseArguments(std::size(defaults), defaults, plain).run);
    EXPECT_EQ(plain.node, "255");
    EXPECT_EQ(plain.port, "/dev/ttyUSB0");
    EXPECT_EQ(plain.timeoutSeconds, 0);
}

TEST(StatusOutput, OnATerminalOneLineIsRedrawnInPlace) {
    CapturedStream stream;
    StatusOutput status(stream.get(), true, false);
    status.Show("Чтение данных", "00%");
    status.Show("Чтение завершено", "100%");
    status.Show("Чтение завершено", "100%");  // no change, no redraw
    status.Show("Запись", "05%");             // shorter: blanks what is left
    status.BreakLine();
    status.BreakLine();  // nothing open any more
    EXPECT_EQ(stream.Text(), "\rЧтение данных 00%\rЧтение завершено 100%\rЗапись 05%" +
                                 std::string(11, ' ') + "\n");
}

TEST(StatusOutput, ElsewhereEveryChangeIsALineAndQuietShowsNothing) {
    CapturedStream stream;
    StatusOutput status(stream.get(), false, false);
    status.Show("Запись", "00%");
    status.Show("Запись", "00%");
    status.Show("Запись", "50%");
    status.BreakLine();
    EXPECT_EQ(stream.Text(), "Запись 00%\nЗапись 50%\n");

    CapturedStream quietStream;
    StatusOutput quiet(quietStream.get(), true, true);
    quiet.Show("Запись", "00%");
    quiet.BreakLine();
    EXPECT_EQ(quietStream.Text(), "");
}

class TerminalDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("vx40-cli-parts-" + std::to_string(::getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    // The Save As question with `proposed` in a 4096-byte buffer.
    bool Ask(TerminalDialog& dialog, const std::string& proposed, std::string& chosen,
             std::uint32_t& error) {
        char name[4096] = {};
        proposed.copy(name, proposed.size());
        const bool confirmed = dialog.AskSavePath(name, sizeof name, "ignored/", error);
        chosen = name;
        return confirmed;
    }

    CapturedStream stream;
    StatusOutput status{stream.get(), false, false};
    fs::path folder;
};

TEST_F(TerminalDialogTest, SaveAsRefusesAnExistingFileUnlessForced) {
    const std::string existing = (folder / "VX40_1_CFG.vx4").string();
    std::ofstream(existing) << "old";
    std::string chosen;
    std::uint32_t error = 0;

    TerminalDialog named(status, SaveAnswer{existing, false});
    EXPECT_FALSE(Ask(named, "VX40_1_CFG.vx4", chosen, error));
    EXPECT_EQ(error, kTargetExistsError);
    EXPECT_EQ(named.RefusedTarget(), existing);

    // A folder takes the proposed name, and the same rule applies to it.
    TerminalDialog inFolder(status, SaveAnswer{folder.string(), false});
    EXPECT_FALSE(Ask(inFolder, "VX40_1_CFG.vx4", chosen, error));
    EXPECT_EQ(inFolder.RefusedTarget(), folder.string() + "/VX40_1_CFG.vx4");
    EXPECT_TRUE(Ask(inFolder, "VX40_2_CFG.vx4", chosen, error));
    EXPECT_EQ(chosen, folder.string() + "/VX40_2_CFG.vx4");
    EXPECT_TRUE(inFolder.RefusedTarget().size() > 0);  // kept from the refusal before

    TerminalDialog forced(status, SaveAnswer{existing, true});
    EXPECT_TRUE(Ask(forced, "VX40_1_CFG.vx4", chosen, error));
    EXPECT_EQ(chosen, existing);
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(forced.RefusedTarget().empty());

    // No answer: the proposed name, in the current folder.
    TerminalDialog here(status, SaveAnswer{});
    EXPECT_TRUE(Ask(here, "VX40_9_CLB.vx4", chosen, error));
    EXPECT_EQ(chosen, "VX40_9_CLB.vx4");
}

TEST_F(TerminalDialogTest, FieldsReadAsTheDialogsAndStatusGoesToTheLine) {
    TerminalDialog dialog(status, SaveAnswer{});
    dialog.SetField(kIdPort, "/dev/serial/by-id/usb-adapter-port0");
    char port[10];
    EXPECT_EQ(dialog.GetItemText(kIdPort, port, sizeof port), 9);
    EXPECT_STREQ(port, "/dev/seri");

    dialog.SetItemText(kIdStatusText, "Запись");
    dialog.SetItemText(kIdStatusPercent, "45%");
    EXPECT_EQ(stream.Text(), "Запись 45%\n");
}

// The folder fixture stands in for /dev: by-id links first, by name, then
// each kind of device in the order of its numbers; names that only start
// like a port are not listed.
TEST_F(TerminalDialogTest, PortsListTheByIdLinksFirstThenNumericOrder) {
    fs::create_directories(folder / "serial" / "by-id");
    for (const char* name : {"ttyS10", "ttyS2", "ttyS1", "ttyACM0", "ttyUSB11", "ttyUSB3", "ttyS",
                             "ttySx", "ttyS2a", "console"})
        std::ofstream(folder / name).put('\n');
    fs::create_symlink("../../ttyUSB3", folder / "serial" / "by-id" / "usb-b-port0");
    fs::create_symlink("../../ttyUSB11", folder / "serial" / "by-id" / "usb-a-port0");

    const std::string dev = folder.string();
    std::vector<std::string> listed;
    for (const SerialPortEntry& port : ListSerialPortsIn(dev))
        listed.push_back(port.name.substr(dev.size()) + " " +
                         (port.target.empty() ? "-" : port.target.substr(dev.size())));
    EXPECT_EQ(listed,
              (std::vector<std::string>{
                  "/serial/by-id/usb-a-port0 /ttyUSB11", "/serial/by-id/usb-b-port0 /ttyUSB3",
                  "/ttyUSB3 -", "/ttyUSB11 -", "/ttyACM0 -", "/ttyS1 -", "/ttyS2 -", "/ttyS10 -"}));
}

// The adapter is found by its by-id link and sysfs driver link however the
// port is named, and a port without either is described as empty.
TEST_F(TerminalDialogTest, AdapterIsDescribedByItsByIdLinkAndDriver) {
    const fs::path dev = folder / "dev";
    const fs::path sys = folder / "sys";
    fs::create_directories(dev / "serial" / "by-id");
    for (const char* name : {"ttyUSB3", "ttyUSB4", "ttyS0"})
        std::ofstream(dev / name).put('\n');
    fs::create_symlink("../../ttyUSB4", dev / "serial" / "by-id" / "usb-A-if00-port0");
    fs::create_symlink("../../ttyUSB3", dev / "serial" / "by-id" / "usb-B-if00-port0");
    fs::create_symlink("../../ttyUSB3", dev / "serial" / "by-id" / "usb-C-if00-port0");
    fs::create_directories(sys / "class" / "tty" / "ttyUSB3" / "device");
    fs::create_symlink("../../../bus/usb-serial/drivers/ftdi_sio",
                       sys / "class" / "tty" / "ttyUSB3" / "device" / "driver");

    const std::string byId = (dev / "serial" / "by-id" / "usb-B-if00-port0").string();
    const std::string byIdToo = (dev / "serial" / "by-id" / "usb-C-if00-port0").string();
    struct Case {
        std::string port, byIdName, driver;
    };
    for (const Case& c :
         {Case{(dev / "ttyUSB3").string(), byId, "ftdi_sio"}, Case{byIdToo, byIdToo, "ftdi_sio"},
          Case{(dev / "ttyS0").string(), "", ""}, Case{(dev / "ttyUSB9").string(), "", ""}}) {
        const AdapterDescription found = DescribeAdapterIn(c.port, dev.string(), sys.string());
        EXPECT_EQ(found.byIdName, c.byIdName) << c.port;
        EXPECT_EQ(found.driver, c.driver) << c.port;
    }
}

}  // namespace
