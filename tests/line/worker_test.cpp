// The worker thread, its mailbox and the Exit protocol, with the test playing
// the window thread: it routes presses and delivers what the worker posts.
#include "app/command_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "dialog/control_ids.h"
#include "pty_peer.h"
#include "recording_dialog.h"
#include "sim/simulated_device.h"

namespace {

using namespace std::chrono_literals;

CommandMessage Press(int id) {
    return {kWmCommand, static_cast<std::uintptr_t>(id), 0};
}

class Worker : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(device.Start());
        dialog.SetField(kIdPort, device.SlavePath());
        dialog.SetField(kIdNode, "255");
    }

    // Delivers the commands the worker posted back, as the message loop
    // would; true when one of them ended the dialog.
    bool DeliverPosted() {
        const auto posts = dialog.CallsStartingWith("post ");
        bool ended = false;
        for (std::size_t i = delivered_; i < posts.size(); ++i) {
            ended = RouteCommand(session, Press(kIdExit)) || ended;
        }
        delivered_ = posts.size();
        return ended;
    }
    std::size_t Count(const std::string& prefix) const {
        return dialog.CallsStartingWith(prefix).size();
    }

    SimulatedDevice device;
    RecordingDialog dialog;
    LineState line{};
    Event commandEvent;
    CommandContext context{dialog, line, commandEvent};
    WorkerSession session{context};
    std::size_t delivered_ = 0;
};

TEST_F(Worker, StopWhileWaitingOnlyTogglesTheButtons) {
    ASSERT_TRUE(StartWorker(session));
    EXPECT_FALSE(RouteCommand(session, Press(kIdStop)));
    ASSERT_TRUE(WaitUntil([&] { return Count("enable ") == 6; }));
    EXPECT_EQ(dialog.Calls(), (std::vector<std::string>{
                                  "disable 1023", "disable 1015", "disable 1014", "disable 1022",
                                  "disable 1021", "disable 1028", "enable 1023", "enable 1015",
                                  "enable 1014", "enable 1022", "enable 1021", "enable 1028"}));
    EXPECT_TRUE(dialog.Boxes().empty());
}

TEST_F(Worker, StopEndsASearchWithOneMessage) {
    dialog.SetField(kIdNode, "77");  // nobody answers: the search goes on
    ASSERT_TRUE(StartWorker(session));
    RouteCommand(session, Press(kIdSearch));
    ASSERT_TRUE(device.WaitForRequests(2, 5000));
    RouteCommand(session, Press(kIdStop));
    std::this_thread::sleep_for(50ms);
    RouteCommand(session, Press(kIdStop));  // pressed twice: still one message
    // The search, then the stored Stop taken as a command that does nothing;
    // the second press is a third such command when the first was already
    // taken, which is a matter of timing.
    ASSERT_TRUE(WaitUntil([&] { return Count("enable ") >= 12; }));
    for (int id : kActionButtons)
        EXPECT_TRUE(dialog.Enabled(id)) << id;
    EXPECT_FALSE(ChannelIsOpen(line.channel));
    // Once the worker has ended, nothing more can come: exactly that.
    EXPECT_FALSE(RouteCommand(session, Press(kIdExit)));
    ASSERT_TRUE(WaitUntil([&] { return Count("post ") == 1; }));
    EXPECT_TRUE(DeliverPosted());
    EXPECT_TRUE(Count("enable ") == 12u || Count("enable ") == 18u) << Count("enable ");
    EXPECT_EQ(dialog.Boxes(), (std::vector<std::string>{"box Ошибка! 16 Прервано пользователем."}));
}

TEST_F(Worker, ExitWhileIdleClosesAfterOneHandOver) {
    ASSERT_TRUE(StartWorker(session));
    // The first press waits 100 ms, then hands Exit to the worker.
    EXPECT_FALSE(RouteCommand(session, Press(kIdExit)));
    ASSERT_TRUE(WaitUntil([&] { return Count("post ") == 1; }));
    EXPECT_TRUE(DeliverPosted());
    EXPECT_TRUE(dialog.Boxes().empty());
    for (int id : kActionButtons)
        EXPECT_FALSE(dialog.Enabled(id)) << id;
    EXPECT_FALSE(session.thread.joinable());
}

TEST_F(Worker, ExitDoesNotWaitForTheThreadOnceTheWorkerHasEnded) {
    ASSERT_TRUE(StartWorker(session));
    // The state between the worker's last act and the end of its thread,
    // made to last: the end is signalled while the thread still waits for
    // commands. Exit must close without waiting for the thread itself.
    session.workerEnded->Set();
    auto exit =
        std::async(std::launch::async, [&] { return RouteCommand(session, Press(kIdExit)); });
    const bool returned = exit.wait_for(5s) == std::future_status::ready;
    EXPECT_TRUE(returned) << "Exit waits for the worker's thread";
    // Hands the thread its Exit, which also frees an Exit stuck waiting for
    // it, and sees it through before the fixture goes.
    session.mailbox.Post(Press(kIdExit), commandEvent);
    EXPECT_TRUE(exit.get());
    EXPECT_FALSE(session.thread.joinable());
    ASSERT_TRUE(WaitUntil([&] { return Count("post ") == 1; }));
}

TEST_F(Worker, ExitDuringAnOperationShowsItsMessageFirst) {
    dialog.SetField(kIdNode, "77");
    std::atomic<bool> boxShown{false};
    dialog.onBox = [&](const std::string&) {
        std::this_thread::sleep_for(100ms);  // the operator reads it
        boxShown = true;
    };
    ASSERT_TRUE(StartWorker(session));
    RouteCommand(session, Press(kIdSearch));
    ASSERT_TRUE(device.WaitForRequests(2, 5000));
    EXPECT_FALSE(RouteCommand(session, Press(kIdExit)));
    ASSERT_TRUE(WaitUntil([&] { return Count("post ") == 1; }));
    EXPECT_TRUE(boxShown);
    const auto calls = dialog.Calls();
    const auto box = std::find_if(calls.begin(), calls.end(),
                                  [](const std::string& c) { return c.rfind("box ", 0) == 0; });
    const auto post = std::find_if(calls.begin(), calls.end(),
                                   [](const std::string& c) { return c.rfind("post ", 0) == 0; });
    EXPECT_LT(box, post);
    EXPECT_EQ(*box, "box Ошибка! 16 Прервано пользователем.");
    EXPECT_TRUE(DeliverPosted());
}

TEST_F(Worker, WithoutAWorkerExitClosesAtOnceAndPressesDoNothing) {
    // StartWorker never ran: as if the thread could not be created.
    EXPECT_FALSE(RouteCommand(session, Press(kIdSearch)));
    EXPECT_FALSE(RouteCommand(session, Press(kIdStop)));
    EXPECT_TRUE(RouteCommand(session, Press(kIdExit)));
    EXPECT_FALSE(commandEvent.IsSet());
}

TEST_F(Worker, OtherControlsAreNotForwarded) {
    ASSERT_TRUE(StartWorker(session));
    for (int id : {kIdPort, kIdNode, kIdModulePath, 1, 9999}) {
        EXPECT_FALSE(RouteCommand(session, Press(id)));
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(dialog.Calls().empty());
}

TEST_F(Worker, CommandsRunOneAtATimeAndFailuresAreShown) {
    ASSERT_TRUE(StartWorker(session));
    RouteCommand(session, Press(kIdSearch));
    ASSERT_TRUE(WaitUntil([&] { return Count("enable ") == 6; }));
    EXPECT_EQ(dialog.Field(kIdDeviceType), "VX40");
    dialog.SetField(kIdModulePath, "/no/such/module.vx4");
    RouteCommand(session, Press(kIdWriteModule));
    ASSERT_TRUE(WaitUntil([&] { return Count("enable ") == 12; }));
    EXPECT_EQ(dialog.Boxes(), (std::vector<std::string>{"box Ошибка! 16 Ошибка открытия файла."}));
}

TEST(Mailbox, NoPressIsLostBetweenTakeAndReset) {
    // A consumer shaped like the worker takes commands while the producer
    // posts pairs of them: the second of a pair tends to arrive while the
    // first is being taken. The last command posted must always be taken; a
    // reset after an unseen store would leave it waiting for ever.
    CommandMailbox mailbox;
    Event event;
    std::atomic<std::uintptr_t> lastTaken{0};
    std::atomic<bool> stop{false};
    std::thread consumer([&] {
        while (!stop) {
            if (!event.Wait(5)) continue;
            lastTaken = mailbox.Take(event).wParam;
        }
    });
    int lost = 0;
    for (std::uintptr_t round = 1; round <= 2000 && lost == 0; ++round) {
        mailbox.Post({kWmCommand, 2 * round, 0}, event);
        mailbox.Post({kWmCommand, 2 * round + 1, 0}, event);
        const auto deadline = std::chrono::steady_clock::now() + 200ms;
        while (lastTaken != 2 * round + 1 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        if (lastTaken != 2 * round + 1) ++lost;
    }
    stop = true;
    consumer.join();
    EXPECT_EQ(lost, 0);
}

}  // namespace
