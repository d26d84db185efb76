// Every device command end to end: the operations, the exchange and the
// channel against the simulated device on a pseudo-terminal, with the
// recording dialog standing in for the window.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "dialog/control_ids.h"
#include "line_rig.h"
#include "operations/activation.h"
#include "operations/backup.h"
#include "operations/device_identity.h"
#include "operations/dialog_inputs.h"
#include "operations/module_writer.h"
#include "platform/event.h"
#include "pty_peer.h"
#include "recording_dialog.h"
#include "sim/simulated_device.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The shared line rig, with its parts under the short names the tests use.
class Operations : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(rig.Start()); }

    // A module file in the rig's folder; unlike LineRig::UseModuleFile it
    // leaves the path field alone, so one test can make several.
    std::string ModuleFile(std::size_t bytes, const char* name = "module.vx4") {
        const fs::path path = folder / name;
        WritePatternFile(path, bytes);
        return path.string();
    }
    std::vector<int> Commands() const { return rig.Commands(); }

    LineRig rig;
    SimulatedDevice& device = rig.device;
    RecordingDialog& dialog = rig.dialog;
    LineState& line = rig.line;
    Event& commandEvent = rig.commandEvent;
    CommandContext& context = rig.context;
    const fs::path& folder = rig.folder;
};

TEST_F(Operations, SearchShowsTheIdentity) {
    ASSERT_EQ(SearchDeviceCommand(context), 0);
    EXPECT_EQ(dialog.Field(kIdDeviceType), "VX40");
    EXPECT_EQ(dialog.Field(kIdSerialNumber), "12345");
    EXPECT_EQ(dialog.Field(kIdBootVersion), "01.02 (14.05.2015)");
    EXPECT_EQ(dialog.Field(kIdAppVersion), "01.05 (25.03.2016)");
    EXPECT_EQ(dialog.Field(kIdRequiredBoot), "01.02");
    EXPECT_EQ(dialog.StatusHistory(),
              (std::vector<std::string>{"Чтение данных 00%", "Чтение завершено 100%"}));
    // The fields are blanked, in order, before anything is asked.
    const auto sets = dialog.CallsStartingWith("set ");
    EXPECT_EQ(std::vector<std::string>(sets.begin(), sets.begin() + 5),
              (std::vector<std::string>{"set 1024 ", "set 1016 ", "set 1025 ", "set 1019 ",
                                        "set 1020 "}));
    EXPECT_EQ(Commands(), (std::vector<int>{16, 18}));
    EXPECT_EQ(line.SequenceNumber, 2);
    EXPECT_FALSE(ChannelIsOpen(line.channel));
}

TEST_F(Operations, SearchWaitsForADeviceUntilStop) {
    dialog.SetField(kIdNode, "12");  // nobody answers at node 12
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1300));
        commandEvent.Set();
    });
    const auto start = Clock::now();
    EXPECT_EQ(SearchDeviceCommand(context), kErrAborted);
    stopper.join();
    EXPECT_LT(SecondsSince(start), 4.0);
    EXPECT_EQ(dialog.Field(kIdDeviceType), "");
    EXPECT_EQ(dialog.StatusHistory().back(), "Чтение данных 00%");
    EXPECT_GE(device.Requests().size(), 5u);  // more than one identification
    EXPECT_FALSE(ChannelIsOpen(line.channel));
}

TEST_F(Operations, SearchOnAVanishedPortEndsOnStopWithoutSpinning) {
    // The adapter goes once the search holds the port and has asked once:
    // from then on every write and read fails at once.
    dialog.SetField(kIdNode, "12");
    std::size_t searchesBefore = 0;
    std::thread stopper([&] {
        device.WaitForRequests(1, 5000);
        device.Unplug();
        searchesBefore = dialog.CallsStartingWith("set 1017 Чтение данных").size();
        // Stop before the first try to open it again: the terminal's number
        // may meanwhile belong to another test's line.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        commandEvent.Set();
    });
    const auto start = Clock::now();
    EXPECT_EQ(SearchDeviceCommand(context), kErrAborted);
    stopper.join();
    EXPECT_LT(SecondsSince(start), 8.0);
    // Still searching after the unplug, but for the port: no identification
    // through the dead one, the catalogue's words for a port that does not
    // open in the status line, once, until Stop.
    const std::size_t searchesAfter =
        dialog.CallsStartingWith("set 1017 Чтение данных").size() - searchesBefore;
    EXPECT_LE(searchesAfter, 1u);
    EXPECT_EQ(dialog.CallsStartingWith("set 1017 COM-порт не открывается.").size(), 1u);
}

TEST_F(Operations, SearchStopsOnTheFirstOtherFailure) {
    device.AddFault({18, 0, FaultKind::kSilence});
    EXPECT_EQ(SearchDeviceCommand(context), kErrExchange);
    EXPECT_EQ(Commands(), (std::vector<int>{16, 18, 18, 18, 18}));

    device.AddFault({16, 0, FaultKind::kRefuse, 250});
    EXPECT_EQ(SearchDeviceCommand(context), kErrDeviceTooCold);
}

TEST_F(Operations, BadNodeOrPortEndsBeforeAnyTraffic) {
    for (const char* node : {"", "300", "256", "x1"}) {
        dialog.SetField(kIdNode, node);
        EXPECT_EQ(SearchDeviceCommand(context), kErrBadNode) << node;
        EXPECT_EQ(ActivateApplicationCommand(context), kErrBadNode) << node;
        EXPECT_EQ(SaveBackupCommand(context, BackupKind::Calibration), kErrBadNode) << node;
    }
    dialog.SetField(kIdNode, "255");
    dialog.SetField(kIdPort, "/dev/no-such-port-vx40");
    EXPECT_EQ(SearchDeviceCommand(context), kErrPortOpen);
    EXPECT_EQ(dialog.Field(kIdDeviceType), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(device.FramesReceived(), 0);
}

TEST_F(Operations, WriteSendsEveryRecordAndIdentifiesAgain) {
    dialog.SetField(kIdModulePath, ModuleFile(3 * 1030));
    ASSERT_EQ(WriteModuleCommand(context), 0);
    EXPECT_EQ(Commands(), (std::vector<int>{16, 18, 19, 19, 19, 16, 18}));
    const auto module = FileContents(dialog.Field(kIdModulePath));
    const auto blocks = device.ModuleBlocks();
    ASSERT_EQ(blocks.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(std::equal(blocks[i].begin(), blocks[i].end(),
                               module.begin() + static_cast<long>(i * 1030)));
    }
    EXPECT_EQ(context.recordsAccepted, 3);
    EXPECT_EQ(
        dialog.StatusHistory(),
        (std::vector<std::string>{"Чтение данных 00%", "Чтение завершено 100%", "Запись 00%",
                                  "Запись 00%", "Запись 33%", "Запись 66%", "Чтение данных 00%",
                                  "Чтение завершено 100%", "Запись завершена 100%"}));
    EXPECT_FALSE(ChannelIsOpen(line.channel));
}

TEST_F(Operations, WriteOfAWholeModuleEndsAt99Percent) {
    dialog.SetField(kIdModulePath, ModuleFile(112 * 1030));
    ASSERT_EQ(WriteModuleCommand(context), 0);
    EXPECT_EQ(device.ModuleBlocks().size(), 112u);
    const auto history = dialog.StatusHistory();
    EXPECT_EQ(history[history.size() - 4], "Запись 99%");
}

TEST_F(Operations, BadModuleFilesCostNoTraffic) {
    // A gigabyte that takes no disk: refused by its size, never read.
    const std::string huge = (folder / "huge.vx4").string();
    {
        const int fd = open(huge.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, off_t{1} << 30), 0);
        close(fd);
    }
    // A pipe would block a plain read for ever.
    const std::string fifo = (folder / "fifo.vx4").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    // A whole module that another program holds locked.
    const std::string locked = ModuleFile(2 * 1030, "locked.vx4");
    const int holder = open(locked.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    // A whole module at the end of a 300-character path: the field gives
    // only its first 255 characters, which name nothing. The folders come
    // to 280 characters whatever the length of the test's own folder, the
    // last one's name spanning the cut.
    fs::path deep = folder;
    while (deep.string().size() < 200)
        deep /= std::string(40, 'd');
    deep /= std::string(279 - deep.string().size(), 'd');
    fs::create_directories(deep);
    WritePatternFile(deep / "m.vx4", 1030);
    std::string longPath = (deep / "m.vx4").string();
    longPath.insert(longPath.size() - 5, 300 - longPath.size(), 'x');
    fs::rename(deep / "m.vx4", longPath);
    ASSERT_EQ(longPath.size(), 300u);
    ASSERT_TRUE(fs::exists(longPath));

    const std::pair<std::string, ResultCode> cases[] = {
        {ModuleFile(0, "empty.vx4"), kErrNotModule},
        {ModuleFile(1029, "short.vx4"), kErrNotModule},
        {ModuleFile(1031, "long.vx4"), kErrNotModule},
        // Longer than a module: refused, not cut to its first 112 records.
        {ModuleFile(112 * 1030 + 1, "oversized.vx4"), kErrNotModule},
        {ModuleFile(113 * 1030, "113.vx4"), kErrNotModule},
        {huge, kErrNotModule},
        {(folder / "missing.vx4").string(), kErrFileOpen},
        {folder.string(), kErrFileOpen},
        {fifo, kErrFileOpen},
        {locked, kErrFileOpen},
        {longPath, kErrFileOpen},
        {"", kErrFileOpen},
    };
    for (const auto& [path, expected] : cases) {
        dialog.SetField(kIdModulePath, path);
        const auto start = Clock::now();
        EXPECT_EQ(WriteModuleCommand(context), expected) << path;
        EXPECT_LT(SecondsSince(start), 1.0) << path;  // nothing was waited for or read whole
    }
    close(holder);
    // The port was never even looked up, let alone opened.
    EXPECT_TRUE(dialog.CallsStartingWith("get 1000").empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(device.FramesReceived(), 0);
    EXPECT_TRUE(device.Requests().empty());
    EXPECT_TRUE(dialog.Boxes().empty());  // the worker shows errors, not the command
}

TEST_F(Operations, ThePathFieldHolds255CharactersNotBytes) {
    // A Cyrillic character takes two bytes in UTF-8, so a path of 255
    // characters, most of them Cyrillic, is some 450 bytes. The folders'
    // names stay below the system's 255 bytes a name.
    const auto characters = [](const std::string& text) {
        return std::count_if(text.begin(), text.end(),
                             [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
    };
    const auto cyrillic = [](std::ptrdiff_t count) {
        std::string text;
        for (std::ptrdiff_t i = 0; i < count; ++i)
            text += "ж";
        return text;
    };
    const std::string name = "/модуль.vx4";
    std::string path = folder.string();
    while (255 - characters(path) - characters(name) > 102)
        path += "/" + cyrillic(100);
    path += "/" + cyrillic(255 - characters(path) - characters(name) - 1);
    fs::create_directories(fs::path(path));
    path += name;
    WritePatternFile(path, 1030);
    ASSERT_EQ(characters(path), 255);
    ASSERT_GT(path.size(), 255u);

    // The whole path opens, and so does a longer text that the field cuts
    // back to it.
    for (const std::string& text : {path, path + "жжж"}) {
        dialog.SetField(kIdModulePath, text);
        EXPECT_EQ(WriteModuleCommand(context), 0) << text;
    }
    EXPECT_EQ(device.ModuleBlocks().size(), 1u);
}

TEST_F(Operations, UnreadableModuleFileCostsNoTraffic) {
    const std::string path = ModuleFile(1030, "unreadable.vx4");
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    if (access(path.c_str(), R_OK) == 0) {
        GTEST_SKIP() << "running as root (or with CAP_DAC_OVERRIDE): a mode of 000 does not "
                        "stop this process reading; the locked file and the pipe of "
                        "BadModuleFilesCostNoTraffic cover a refused open instead";
    }
    dialog.SetField(kIdModulePath, path);
    EXPECT_EQ(WriteModuleCommand(context), kErrFileOpen);
    EXPECT_NE(std::string(context.reason).find("ermission"), std::string::npos) << context.reason;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(device.FramesReceived(), 0);
}

TEST_F(Operations, RefusedBlockStopsTheWrite) {
    dialog.SetField(kIdModulePath, ModuleFile(5 * 1030));
    device.AddFault({19, 3, FaultKind::kRefuse, 253});
    EXPECT_EQ(WriteModuleCommand(context), kErrDeviceWriteFailed);
    EXPECT_EQ(Commands(), (std::vector<int>{16, 18, 19, 19, 19}));
    EXPECT_EQ(context.recordsAccepted, 2);
    EXPECT_EQ(dialog.Field(kIdDeviceType), "VX40");  // the first identification stays
    EXPECT_FALSE(ChannelIsOpen(line.channel));
}

TEST_F(Operations, UnansweredBlockIsAnExchangeFailureNotNoDevice) {
    dialog.SetField(kIdModulePath, ModuleFile(2 * 1030));
    // The second block and all three of its repeats go unanswered.
    for (int occurrence = 2; occurrence <= 5; ++occurrence) {
        device.AddFault({19, occurrence, FaultKind::kSilence});
    }
    EXPECT_EQ(WriteModuleCommand(context), kErrExchange);
    EXPECT_EQ(context.recordsAccepted, 1);
    dialog.SetField(kIdNode, "9");
    EXPECT_EQ(WriteModuleCommand(context), kErrNoDevice);
}

TEST_F(Operations, StopDuringTheWriteEndsAtTheNextReplyWait) {
    dialog.SetField(kIdModulePath, ModuleFile(112 * 1030));
    // Replies take a while, as on a real line, so reads do wait.
    device.AddFault({19, 0, FaultKind::kDelay, 20});
    std::thread stopper([&] {
        device.WaitForRequests(10, 5000);
        commandEvent.Set();
    });
    EXPECT_EQ(WriteModuleCommand(context), kErrAborted);
    stopper.join();
    EXPECT_LT(device.ModuleBlocks().size(), 112u);
    EXPECT_FALSE(ChannelIsOpen(line.channel));
}

TEST_F(Operations, ConfigurationBackupSavesSixRecords) {
    const std::string target = (folder / "config.vx4").string();
    dialog.AnswerSave({true, target, 0});
    char saved[4096];
    ASSERT_EQ(SaveBackupCommand(context, BackupKind::Configuration, saved, sizeof saved), 0);
    EXPECT_STREQ(saved, target.c_str());

    const auto file = FileContents(target);
    ASSERT_EQ(file.size(), 6180u);
    for (int i = 0; i < 6; ++i) {
        const auto& record = device.ConfigurationRecord(i);
        EXPECT_TRUE(std::equal(record.begin(), record.end(), file.begin() + i * 1030)) << i;
    }
    std::vector<std::uint32_t> addresses;
    for (const auto& request : device.Requests()) {
        if (request.payload[2] != 21) continue;
        const auto* p = request.payload.data() + 3;
        addresses.push_back(p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24);
    }
    EXPECT_EQ(addresses,
              (std::vector<std::uint32_t>{0x2800, 0x2C00, 0x3000, 0x3400, 0x3800, 0x3C00}));
    EXPECT_EQ(dialog.StatusHistory(),
              (std::vector<std::string>{
                  "Чтение данных 00%", "Чтение завершено 100%", "Чтение конфигурации 00%",
                  "Чтение конфигурации 16%", "Чтение конфигурации 32%", "Чтение конфигурации 48%",
                  "Чтение конфигурации 64%", "Чтение конфигурации 80%", "Чтение конфигурации 96%",
                  "Чтение завершено 100%", "Сохранение завершено 100%"}));
    // The proposed name, and the program's folder offered the first time only.
    EXPECT_EQ(dialog.CallsStartingWith("save "),
              (std::vector<std::string>{"save [VX40_12345_CFG.vx4] dir=/opt/vx40/"}));
    ASSERT_EQ(SaveBackupCommand(context, BackupKind::Calibration), 0);
    EXPECT_EQ(dialog.CallsStartingWith("save ").back(), "save [VX40_12345_CLB.vx4] dir=null");
    const auto calibration = FileContents(target);
    ASSERT_EQ(calibration.size(), 1030u);
    EXPECT_TRUE(
        std::equal(calibration.begin(), calibration.end(), device.CalibrationRecord().begin()));
}

TEST_F(Operations, ShortBlockReplyIsZeroFilledAndAnUnknownProgramFolderFails) {
    // The second block's reply keeps 100 of its 1030 bytes: the rest of that
    // record is zeros, not what the first block left behind.
    device.AddFault({21, 2, FaultKind::kShortReply, 4 + 100});
    const std::string target = (folder / "config.vx4").string();
    dialog.AnswerSave({true, target, 0});
    ASSERT_EQ(SaveBackupCommand(context, BackupKind::Configuration), 0);
    const auto file = FileContents(target);
    ASSERT_EQ(file.size(), 6180u);
    const auto& second = device.ConfigurationRecord(1);
    std::vector<std::uint8_t> expected(second.begin(), second.begin() + 100);
    expected.resize(1030, 0);
    EXPECT_EQ(std::vector<std::uint8_t>(file.begin() + 1030, file.begin() + 2060), expected);

    // Without the program's folder there is no question and no file.
    dialog.SetProgramDirectory("");
    const auto asked = dialog.CallsStartingWith("save ").size();
    EXPECT_EQ(SaveBackupCommand(context, BackupKind::Calibration), kErrUnknown);
    EXPECT_EQ(dialog.CallsStartingWith("save ").size(), asked);
    EXPECT_EQ(FileContents(target).size(), 6180u);
}

TEST(OperationsOnAPacedLine, AReplyLongerThanTheReplyWaitIsReadToItsEnd) {
    // Every data byte 0x10 doubles on the line: a reply of some 2070 bytes,
    // about 360 ms at 57600 baud, still arriving when the 250 ms wait ends.
    SimOptions options;
    options.pace = true;
    options.device.recordFill = 0x10;
    LineRig rig(options);
    ASSERT_TRUE(rig.Start());
    const auto& record = rig.device.CalibrationRecord();
    ASSERT_EQ(std::count(record.begin(), record.end(), 0x10), 1029);
    const std::string target = (rig.folder / "cal.vx4").string();
    rig.dialog.AnswerSave({true, target, 0});
    ASSERT_EQ(SaveBackupCommand(rig.context, BackupKind::Calibration), 0);
    const auto file = FileContents(target);
    EXPECT_TRUE(std::equal(record.begin(), record.end(), file.begin(), file.end()));
    const auto commands = rig.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 21), 1);  // at the first request
}

TEST_F(Operations, CancelledOrFailedBackupLeavesTheDiskAlone) {
    const std::string target = (folder / "keep.vx4").string();
    { std::ofstream(target) << "old contents"; }

    dialog.AnswerSave({false, "", 0});  // cancelled
    EXPECT_EQ(SaveBackupCommand(context, BackupKind::Calibration), 0);
    dialog.AnswerSave({false, "", 12290});  // the dialog failed
    EXPECT_EQ(SaveBackupCommand(context, BackupKind::Calibration), 12290);

    // A refused fourth block: no question asked, nothing written.
    device.AddFault({21, 4, FaultKind::kRefuse, 255});
    dialog.AnswerSave({true, target, 0});
    const auto asked = dialog.CallsStartingWith("save ").size();
    EXPECT_EQ(SaveBackupCommand(context, BackupKind::Configuration), kErrDeviceBadBlock);
    EXPECT_EQ(dialog.CallsStartingWith("save ").size(), asked);

    // A target that cannot be created (a missing folder) leaves no
    // temporary file behind and the old file as it was; BackupTargets has
    // the targets that cannot be replaced.
    dialog.AnswerSave({true, (folder / "nope" / "x.vx4").string(), 0});
    EXPECT_EQ(SaveBackupCommand(context, BackupKind::Calibration), kErrFileCreate);
    EXPECT_NE(std::string(context.reason).find("nope"), std::string::npos) << context.reason;

    std::ifstream in(target);
    std::string contents((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(contents, "old contents");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder))
        ++entries;
    EXPECT_EQ(entries, 1u);  // keep.vx4 only
    EXPECT_FALSE(ChannelIsOpen(line.channel));
}

// Every kind of target a backup can be given, each in a folder of its own.
// What cannot be opened for writing is refused as a direct create would be
// (-2025) and left as it was; a link is written through, a dangling one
// too; a name near the system's limit still has room for the temporary
// file; the mode is the replaced file's, or the umask's for a new file. In
// every case the folder ends with exactly the listed entries, so no
// temporary file is left anywhere.
TEST_F(Operations, BackupTargets) {
    // An unusual umask, so a new file's mode is told apart from a fixed
    // 0644 or mkstemp's 0600.
    struct UmaskScope {
        mode_t old = umask(027);
        ~UmaskScope() { umask(old); }
    } umaskScope;
    auto old = [](const fs::path& file, mode_t mode) {
        std::ofstream(file) << "old contents";
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
    };
    auto nothing = [](const fs::path&) {};
    auto aFolder = [](const fs::path& in) { fs::create_directory(in / "adir"); };
    auto readOnly = [&](const fs::path& in) { old(in / "ro.vx4", 0444); };
    auto existing = [&](const fs::path& in) { old(in / "kept.vx4", 0604); };
    auto link = [&](const fs::path& in) {
        fs::create_directory(in / "real");
        old(in / "real" / "real.vx4", 0604);
        fs::create_symlink("real/real.vx4", in / "link.vx4");
    };
    auto dangling = [](const fs::path& in) {
        fs::create_directory(in / "real");
        fs::create_symlink("real/new.vx4", in / "dangling.vx4");
    };
    const std::string longName = std::string(246, 'n') + ".vx4";
    struct Case {
        const char* what;
        std::function<void(const fs::path& in)> prepare;
        std::string target;  // given to the save dialog
        ResultCode expected;
        std::string holder;  // the file with the backup, or with the old contents kept
        mode_t mode;         // `holder`'s mode afterwards
        std::vector<std::string> entries;  // "/" ends a folder, "@" a link
        bool unprivileged = false;         // shown only when not running as root
    };
    const std::vector<Case> cases{
        {"a folder", aFolder, "adir", kErrFileCreate, "", 0, {"adir/"}},
        {"a read-only file", readOnly, "ro.vx4", kErrFileCreate, "ro.vx4", 0444, {"ro.vx4"}, true},
        {"a link",
         link,
         "link.vx4",
         kResultOk,
         "real/real.vx4",
         0604,
         {"link.vx4@", "real/", "real/real.vx4"}},
        {"a dangling link",
         dangling,
         "dangling.vx4",
         kResultOk,
         "real/new.vx4",
         0640,
         {"dangling.vx4@", "real/", "real/new.vx4"}},
        {"a 250-byte name", nothing, longName, kResultOk, longName, 0640, {longName}},
        {"an existing file", existing, "kept.vx4", kResultOk, "kept.vx4", 0604, {"kept.vx4"}},
        {"a new file", nothing, "new.vx4", kResultOk, "new.vx4", 0640, {"new.vx4"}},
    };
    const auto& record = device.CalibrationRecord();
    const std::vector<std::uint8_t> backup(record.begin(), record.end());
    const std::string oldText = "old contents";
    const std::vector<std::uint8_t> oldContents(oldText.begin(), oldText.end());
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path in = folder / ("case" + std::to_string(++index));
        fs::create_directory(in);
        c.prepare(in);
        if (c.unprivileged && access((in / c.holder).c_str(), W_OK) == 0) {
            std::printf("note: %s: not tried, as root may write any file\n", c.what);
            continue;
        }
        context.reason[0] = '\0';
        dialog.AnswerSave({true, (in / c.target).string(), 0});
        EXPECT_EQ(SaveBackupCommand(context, BackupKind::Calibration), c.expected);
        if (c.expected != kResultOk) {
            EXPECT_NE(context.reason[0], '\0');
        }
        if (!c.holder.empty()) {
            EXPECT_EQ(FileContents(in / c.holder), c.expected == kResultOk ? backup : oldContents);
            struct stat info {};
            EXPECT_EQ(stat((in / c.holder).c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, c.mode) << std::oct << (info.st_mode & 07777);
        }
        std::vector<std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(in)) {
            entries.push_back(entry.path().lexically_relative(in).string() +
                              (entry.is_symlink()     ? "@"
                               : entry.is_directory() ? "/"
                                                      : ""));
        }
        std::sort(entries.begin(), entries.end());
        EXPECT_EQ(entries, c.entries);
    }
}

TEST_F(Operations, ThreeByteBlockReplyIsARefusal) {
    const std::string target = (folder / "cal.vx4").string();
    dialog.AnswerSave({true, target, 0});
    device.AddFault({21, 0, FaultKind::kShortReply});
    // Three bytes only: no status byte, so it is a refusal (error byte 0).
    EXPECT_EQ(SaveBackupCommand(context, BackupKind::Calibration), kErrDeviceUnknown);
}

TEST_F(Operations, ActivationIsOneExchange) {
    dialog.SetField(kIdDeviceType, "kept");
    ASSERT_EQ(ActivateApplicationCommand(context), 0);
    EXPECT_EQ(device.Activations(), 1);
    EXPECT_EQ(dialog.StatusHistory(), (std::vector<std::string>{"Приложение активировано. 100%"}));
    EXPECT_EQ(dialog.Field(kIdDeviceType), "kept");

    dialog.SetField(kIdNode, "3");  // nobody there: no "no device" translation
    EXPECT_EQ(ActivateApplicationCommand(context), kErrExchange);
    EXPECT_EQ(Commands(), (std::vector<int>{20, 20, 20, 20, 20}));
}

}  // namespace
