// Checks of the Windows serial channel against a scripted driver, for what
// no port under Wine shows: a line error that stays latched (fAbortOnError),
// an event character left over from an earlier reply, a driver that accepts
// the event character but never signals it, and a request that never
// completes, not even when cancelled (an adapter pulled out mid-request).
//
// The driver stands in for the system's calls in the channel's table
// (serial_driver_calls.h). Nothing runs beside the channel: every driver
// event happens inside one of its calls. A scripted reply arrives when the
// channel starts waiting for it (its first WaitCommEvent after a write), or,
// when it does not wait that way, at its first look at the queue a few
// milliseconds after the write.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "check_counter.h"
#include "platform/event.h"
#include "protocol/frame_codec.h"
#include "protocol/result_code.h"
#include "serial_driver_calls.h"
#include "transport/serial_channel.h"

namespace {

constexpr DWORD kStatusPending = 0x103;
constexpr DWORD kStatusCancelled = 0xC0000120;
const HANDLE kFakePort = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x4000));

const std::uint8_t kRequest[] = {0x02, 0x11, 0x12, 0x03};
const std::uint8_t kReply[] = {0x02, 0x41, 0x42, 0x43, 0x03};

struct FakeDriver {
    // The script.
    bool signalsEventChar = true;
    bool maskEndsWait = true;
    bool waitsFail = false;  // a wait fails by itself once it has begun
    bool completesCancelled = true;
    bool writesPend = false;
    bool errorAtWait = false;  // a line error latches as each wait begins
    bool replyToWrites = true;
    DWORD failWith = 0;        // every write fails at once with this (an adapter gone)
    bool failLatches = false;  // and is a line error latched since the last clear
    // The reply to each write; paced, it arrives at the line's own rate
    // from the moment it is due instead of all at once.
    const std::uint8_t* reply = kReply;
    std::size_t replyLength = sizeof kReply;
    bool paced = false;
    bool refusesEqualFlowChars = false;        // SetCommState fails when XonChar == XoffChar
    DWORD lineErrors = 0;                      // reported by the next ClearCommError
    DWORD stateSleepMs = 0, closeSleepMs = 0;  // SetCommState, CloseHandle take this long
    // The port.
    bool latched = false;  // a line error not yet cleared
    DWORD mask = 0;
    DWORD history = 0;  // events of the mask that came while no wait was pending
    std::uint8_t queue[4096];
    std::size_t queued = 0;
    bool replyDue = false;
    ULONGLONG replyDueAtMs = 0;
    std::size_t replyArrived = 0;
    OVERLAPPED* wait = nullptr;
    DWORD* waitMask = nullptr;
    OVERLAPPED* write = nullptr;
    HANDLE lastPendingEvent = nullptr;  // the event of the last request left pending
    // What the channel did.
    int refused = 0;          // requests made while a line error was latched
    int waits = 0;            // WaitCommEvent calls
    int emptyWakes = 0;       // waits ended at once by a left-over ETX, nothing queued
    int blockingResults = 0;  // GetOverlappedResult told to wait for a pending request
    int reused = 0;           // a record the driver still owns handed to it again
    int failures = 0;         // writes failed with failWith
    DCB applied[2]{};         // the first and the last settings given to SetCommState
    int settingsGiven = 0;
};

FakeDriver g_driver;

void Complete(OVERLAPPED*& record, DWORD status, DWORD count) {
    record->Internal = status;
    record->InternalHigh = count;
    SetEvent(record->hEvent);
    record = nullptr;
}

bool Refused() {
    if (!g_driver.latched) return false;
    ++g_driver.refused;
    SetLastError(ERROR_OPERATION_ABORTED);
    return true;
}

void NoteUse(const OVERLAPPED* record) {
    if (record == g_driver.wait || record == g_driver.write) ++g_driver.reused;
}

void Queue(const std::uint8_t* bytes, std::size_t count) {
    count = std::min(count, sizeof g_driver.queue - g_driver.queued);
    std::memcpy(g_driver.queue + g_driver.queued, bytes, count);
    g_driver.queued += count;
}

// The scripted reply arrives: at a wait, or at any look once it is due;
// paced, as much of it as the line has carried by now (57600 baud).
void Arrive(bool atWait) {
    if (!g_driver.replyDue) return;
    const ULONGLONG now = GetTickCount64();
    std::size_t upTo = g_driver.replyLength;
    if (g_driver.paced) {
        const ULONGLONG elapsedMs = now > g_driver.replyDueAtMs ? now - g_driver.replyDueAtMs : 0;
        upTo = std::min<std::size_t>(upTo, static_cast<std::size_t>(elapsedMs * 5760 / 1000));
    } else if (!atWait && now < g_driver.replyDueAtMs) {
        return;
    }
    const std::uint8_t* fresh = g_driver.reply + g_driver.replyArrived;
    const std::size_t count = upTo - g_driver.replyArrived;
    Queue(fresh, count);
    g_driver.replyArrived = upTo;
    g_driver.replyDue = upTo < g_driver.replyLength;
    if (!g_driver.signalsEventChar || std::memchr(fresh, kEtx, count) == nullptr) return;
    if (g_driver.wait != nullptr) {
        *g_driver.waitMask = EV_RXFLAG;
        Complete(g_driver.wait, 0, 0);
    } else {
        g_driver.history |= g_driver.mask & EV_RXFLAG;
    }
}

HANDLE WINAPI FakeCreateFile(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    return kFakePort;
}

BOOL WINAPI FakeClosePort(HANDLE) {
    Sleep(g_driver.closeSleepMs);
    if (g_driver.completesCancelled) {
        if (g_driver.wait != nullptr) Complete(g_driver.wait, kStatusCancelled, 0);
        if (g_driver.write != nullptr) Complete(g_driver.write, kStatusCancelled, 0);
    }
    return TRUE;
}

BOOL WINAPI FakeSetCommState(HANDLE, LPDCB settings) {
    Sleep(g_driver.stateSleepMs);
    if (Refused()) return FALSE;
    g_driver.applied[std::min(g_driver.settingsGiven++, 1)] = *settings;
    if (g_driver.refusesEqualFlowChars && settings->XonChar == settings->XoffChar) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FakeSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) {
    return Refused() ? FALSE : TRUE;
}

// As the sample driver does, the events remembered that the new mask still
// asks for are kept.
BOOL WINAPI FakeSetCommMask(HANDLE, DWORD mask) {
    if (Refused()) return FALSE;
    g_driver.mask = mask;
    g_driver.history &= mask;
    if (g_driver.wait != nullptr && g_driver.maskEndsWait) {
        *g_driver.waitMask = 0;
        Complete(g_driver.wait, 0, 0);
    }
    return TRUE;
}

BOOL WINAPI FakePurgeComm(HANDLE, DWORD) {
    if (Refused()) return FALSE;
    g_driver.queued = 0;
    return TRUE;
}

BOOL WINAPI FakeClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
    if (errors != nullptr) *errors = (g_driver.latched ? CE_FRAME : 0) | g_driver.lineErrors;
    g_driver.lineErrors = 0;
    g_driver.latched = false;
    Arrive(false);
    if (status != nullptr) {
        *status = COMSTAT{};
        status->cbInQue = static_cast<DWORD>(g_driver.queued);
    }
    return TRUE;
}

BOOL WINAPI FakeWaitCommEvent(HANDLE, LPDWORD mask, LPOVERLAPPED record) {
    NoteUse(record);
    if (Refused()) return FALSE;
    ++g_driver.waits;
    if (g_driver.history != 0) {
        g_driver.history = 0;
        if (g_driver.queued == 0) ++g_driver.emptyWakes;
        *mask = EV_RXFLAG;
        Complete(record, 0, 0);
        return TRUE;
    }
    record->Internal = kStatusPending;
    g_driver.lastPendingEvent = record->hEvent;
    g_driver.wait = record;
    g_driver.waitMask = mask;
    if (g_driver.errorAtWait) g_driver.latched = true;
    if (g_driver.waitsFail) Complete(g_driver.wait, kStatusCancelled, 0);
    Arrive(true);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL WINAPI FakeReadFile(HANDLE, LPVOID buffer, DWORD wanted, LPDWORD delivered,
                         LPOVERLAPPED record) {
    NoteUse(record);
    if (Refused()) return FALSE;
    const auto count = static_cast<DWORD>(std::min<std::size_t>(wanted, g_driver.queued));
    std::memcpy(buffer, g_driver.queue, count);
    std::memmove(g_driver.queue, g_driver.queue + count, g_driver.queued - count);
    g_driver.queued -= count;
    *delivered = count;
    Complete(record, 0, count);
    return TRUE;
}

BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID, DWORD count, LPDWORD written, LPOVERLAPPED record) {
    NoteUse(record);
    if (Refused()) return FALSE;
    if (g_driver.failWith != 0) {
        ++g_driver.failures;
        g_driver.latched = g_driver.failLatches;
        SetLastError(g_driver.failWith);
        return FALSE;
    }
    if (g_driver.writesPend) {
        record->Internal = kStatusPending;
        g_driver.lastPendingEvent = record->hEvent;
        g_driver.write = record;
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    g_driver.replyDue = g_driver.replyToWrites;
    g_driver.replyDueAtMs = GetTickCount64() + 5;
    g_driver.replyArrived = 0;
    *written = count;
    Complete(record, 0, count);
    return TRUE;
}

BOOL WINAPI FakeCancelIoEx(HANDLE, LPOVERLAPPED record) {
    if (!g_driver.completesCancelled) return TRUE;
    if (record == g_driver.wait) Complete(g_driver.wait, kStatusCancelled, 0);
    if (record == g_driver.write) Complete(g_driver.write, kStatusCancelled, 0);
    return TRUE;
}

// Never blocks: a wait for a request that never completes is counted
// instead, so that the check fails rather than hangs.
BOOL WINAPI FakeGetOverlappedResult(HANDLE, LPOVERLAPPED record, LPDWORD count, BOOL block) {
    if (record->Internal == kStatusPending) {
        if (block) ++g_driver.blockingResults;
        SetLastError(block ? ERROR_OPERATION_ABORTED : ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    *count = static_cast<DWORD>(record->InternalHigh);
    if (record->Internal != 0) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    return TRUE;
}

void UseFakeDriver() {
    SerialDriverCalls& calls = SerialDriver();
    calls.createFile = FakeCreateFile;
    calls.closePort = FakeClosePort;
    calls.setCommState = FakeSetCommState;
    calls.setCommTimeouts = FakeSetCommTimeouts;
    calls.setCommMask = FakeSetCommMask;
    calls.purgeComm = FakePurgeComm;
    calls.clearCommError = FakeClearCommError;
    calls.waitCommEvent = FakeWaitCommEvent;
    calls.readFile = FakeReadFile;
    calls.writeFile = FakeWriteFile;
    calls.cancelIoEx = FakeCancelIoEx;
    calls.getOverlappedResult = FakeGetOverlappedResult;
}

// Writes the request and reads the reply: the reply's length, or the
// channel's failure.
int WriteAndRead(SerialChannel& channel) {
    if (ChannelWrite(channel, kRequest, sizeof kRequest) != kResultOk) return kErrExchange;
    static std::uint8_t reply[kFrameBufferSize];
    const int got = ChannelRead(channel, reply, sizeof reply, nullptr);
    const auto expected = static_cast<int>(g_driver.replyLength);
    if (got > 0 &&
        (got != expected || std::memcmp(reply, g_driver.reply, g_driver.replyLength) != 0)) {
        return kErrExchange - 1000;  // bytes, but not the reply
    }
    return got;
}

// One attempt as the exchange makes it: discard, write the request, read.
int Exchange(SerialChannel& channel) {
    ChannelDiscardInput(channel);
    return WriteAndRead(channel);
}

constexpr int kReplyRead = static_cast<int>(sizeof kReply);

void CheckCode(long actual, long expected, const char* what) {
    if (actual != expected) std::printf("  got %ld, expected %ld\n", actual, expected);
    Check(actual == expected, what);
}

// A framing error at each turnaround of the bus latches in the driver; every
// request but ClearCommError is refused until it is cleared.
void CheckLatchedLineError() {
    g_driver = FakeDriver{};
    SerialChannel channel{};
    CheckCode(OpenChannel(channel, "COM3"), kResultOk, "latched error: the port opens");
    // Left from the last reply: an error, and stale bytes the purge must take.
    g_driver.latched = true;
    Queue(kReply, sizeof kReply);
    ChannelDiscardInput(channel);
    Check(g_driver.queued == 0, "latched error: discarding still empties the driver's queue");
    // Latched again before the write (of a new length: new time-outs), and
    // as the wait for the reply begins.
    g_driver.latched = true;
    g_driver.errorAtWait = true;
    CheckCode(WriteAndRead(channel), kReplyRead, "latched error: the reply is read");
    g_driver.replyToWrites = false;
    CheckCode(Exchange(channel), kErrExchange, "latched error: a silent line times out");
    CheckCode(g_driver.refused, 0, "latched error: no request made while it was latched");
}

// An ETX that came while no wait was pending is remembered by the driver
// through a purge; the next wait would end at once with nothing to read.
void CheckLeftOverEventCharacter() {
    g_driver = FakeDriver{};
    SerialChannel channel{};
    CheckCode(OpenChannel(channel, "COM3"), kResultOk, "left-over ETX: the port opens");
    g_driver.history = EV_RXFLAG;
    CheckCode(Exchange(channel), kReplyRead, "left-over ETX: the reply is read");
    CheckCode(g_driver.emptyWakes, 0, "left-over ETX: no wait woke at once for nothing");
}

// A driver that accepts the event character and never signals it: the first
// reply is found when the wait runs out, and from then on the queue is
// watched instead of waiting for the event.
void CheckSilentEventCharacter() {
    g_driver = FakeDriver{};
    g_driver.signalsEventChar = false;
    SerialChannel channel{};
    CheckCode(OpenChannel(channel, "COM3"), kResultOk, "silent ETX: the port opens");
    CheckCode(Exchange(channel), kReplyRead, "silent ETX: the first reply is read");
    const int waitsBefore = g_driver.waits;
    CheckCode(Exchange(channel), kReplyRead, "silent ETX: the second reply is read");
    CheckCode(g_driver.waits - waitsBefore, 0, "silent ETX: no wait for the event after that");
}

// A driver that fails each wait by itself once it has begun (Wine, on a
// port without modem lines, after starting a thread for it): after the
// first, the queue is watched, no wait is issued, and replies are read.
void CheckFailingWait() {
    g_driver = FakeDriver{};
    g_driver.waitsFail = true;
    g_driver.replyToWrites = false;
    SerialChannel channel{};
    CheckCode(OpenChannel(channel, "COM3"), kResultOk, "failing wait: the port opens");
    CheckCode(Exchange(channel), kErrExchange, "failing wait: a silent line times out");
    const int waitsBefore = g_driver.waits;
    g_driver.replyToWrites = true;
    CheckCode(Exchange(channel), kReplyRead, "failing wait: the reply is read");
    CheckCode(g_driver.waits - waitsBefore, 0, "failing wait: no wait after the first");
    Check(!ChannelPortGone(channel), "failing wait: the port is not taken for gone");
}

// A reply longer on the line than the reply wait (a block rich in escaped
// bytes, 360 ms) is read to its end; one that stops mid-frame still fails.
void CheckReplyStillArriving() {
    static std::uint8_t longReply[kFrameBufferSize];
    std::memset(longReply, kDle, sizeof longReply);
    longReply[0] = kStx;
    longReply[sizeof longReply - 1] = kEtx;
    struct Case {
        const char* what;
        std::size_t length;
        int expected;
    };
    const Case cases[] = {
        {"a 2074-byte reply arriving for 360 ms is read whole", sizeof longReply,
         static_cast<int>(sizeof longReply)},
        {"a reply that stops mid-frame fails", 1000, kErrExchange},
    };
    for (const bool signals : {true, false}) {
        for (const Case& one : cases) {
            g_driver = FakeDriver{};
            g_driver.signalsEventChar = signals;
            g_driver.paced = true;
            g_driver.reply = longReply;
            g_driver.replyLength = one.length;
            SerialChannel channel{};
            OpenChannel(channel, "COM3");
            char what[160];
            std::snprintf(what, sizeof what, "%s (%s)", one.what,
                          signals ? "ETX signalled" : "ETX never signalled");
            CheckCode(Exchange(channel), one.expected, what);
        }
    }
}

// A request that never completes, not even cancelled or with its port closed.
struct StuckCase {
    const char* name;
    bool writesPend;  // else the wait for the reply never ends
};

void CheckStuckRequest(const StuckCase& stuck) {
    g_driver = FakeDriver{};
    g_driver.completesCancelled = false;
    g_driver.maskEndsWait = false;
    g_driver.writesPend = stuck.writesPend;
    g_driver.replyToWrites = false;
    char what[160];
    SerialChannel channel{};
    std::snprintf(what, sizeof what, "%s: the port opens", stuck.name);
    CheckCode(OpenChannel(channel, "COM3"), kResultOk, what);
    const ULONGLONG before = GetTickCount64();
    std::snprintf(what, sizeof what, "%s: the attempt fails", stuck.name);
    CheckCode(Exchange(channel), kErrExchange, what);
    std::uint8_t byte = 0;
    std::snprintf(what, sizeof what, "%s: the channel then fails every read and write", stuck.name);
    Check(ChannelWrite(channel, kRequest, sizeof kRequest) == kErrExchange &&
              ChannelRead(channel, &byte, 1, nullptr) == kErrExchange,
          what);
    ChannelDiscardInput(channel);
    CloseChannel(channel);
    // The driver may still complete the request into its record and signal
    // its event: both must still be there (the event shows it without
    // touching the record).
    DWORD flags = 0;
    std::snprintf(what, sizeof what, "%s: its record and event are left to the driver", stuck.name);
    Check(GetHandleInformation(g_driver.lastPendingEvent, &flags) != FALSE, what);
    const ULONGLONG took = GetTickCount64() - before;
    std::printf("  %s: attempt, further calls and closing took %llu ms\n", stuck.name, took);
    std::snprintf(what, sizeof what, "%s: no wait without a bound, closing included", stuck.name);
    Check(g_driver.blockingResults == 0 && took < 20000, what);
    std::snprintf(what, sizeof what, "%s: its record never handed to the driver again", stuck.name);
    CheckCode(g_driver.reused, 0, what);
    Check(!ChannelIsOpen(channel), "the port is closed");
}

// Listening delivers what the driver queues as it stands: a frame identical
// to the request and bytes outside any frame too, then the reply; once the
// deadline has passed with nothing more it says 0, and Stop ends it.
void CheckListen() {
    g_driver = FakeDriver{};
    SerialChannel channel{};
    CheckCode(OpenChannel(channel, "COM3"), kResultOk, "listen: the port opens");
    ChannelDiscardInput(channel);
    CheckCode(ChannelWrite(channel, kRequest, sizeof kRequest), kResultOk, "listen: the request");
    const std::uint8_t noise[] = {0x55, kDle, 0xAA};
    Queue(kRequest, sizeof kRequest);  // the line's echo, before the reply is due
    Queue(noise, sizeof noise);
    std::uint8_t expected[sizeof kRequest + sizeof noise + sizeof kReply];
    std::memcpy(expected, kRequest, sizeof kRequest);
    std::memcpy(expected + sizeof kRequest, noise, sizeof noise);
    std::memcpy(expected + sizeof kRequest + sizeof noise, kReply, sizeof kReply);

    const std::int64_t untilUs = ReceiveClockUs() + 200'000;
    std::uint8_t heard[64];
    int count = 0;
    int got = 0;
    while ((got = ChannelListen(channel, heard + count, static_cast<int>(sizeof heard) - count,
                                untilUs, nullptr)) > 0)
        count += got;
    const std::int64_t endedUs = ReceiveClockUs();
    CheckCode(got, 0, "listen: nothing more by the deadline");
    Check(count == static_cast<int>(sizeof expected) &&
              std::memcmp(heard, expected, sizeof expected) == 0,
          "listen: echo, noise and reply delivered raw, in order");
    Check(endedUs >= untilUs && endedUs < untilUs + 2'000'000,
          "listen: ends at its deadline, not before");

    Event stop;
    stop.Set();
    Check(ChannelArrivalUs(channel) < endedUs && ChannelListenLookMs(channel) >= 10,
          "listen: the reply's arrival stamped, and how late such a stamp may be");
    CheckCode(ChannelListen(channel, heard, sizeof heard, ReceiveClockUs() + 10'000'000, &stop),
              kErrAborted, "listen: Stop ends it");
}

// A driver that refuses XON equal to XOFF (flow control off or not) gets the
// usual pair and nothing else new; line errors count from the open, one a
// kind a report.
void CheckOpenSettingsAndErrorCounts() {
    g_driver = FakeDriver{};
    g_driver.refusesEqualFlowChars = true;
    SerialChannel channel{};
    CheckCode(OpenChannel(channel, "COM3"), kResultOk, "XON equal to XOFF refused: the port opens");
    DCB expected = g_driver.applied[0];
    expected.XonChar = 0x11;
    expected.XoffChar = 0x13;
    Check(g_driver.settingsGiven == 2 &&
              !std::memcmp(&expected, &g_driver.applied[1], sizeof expected),
          "XON equal to XOFF refused: the settings again, with DC1 and DC3 only new");
    for (const DWORD reported :
         {DWORD{CE_FRAME | CE_BREAK}, DWORD{CE_FRAME | CE_OVERRUN | CE_RXPARITY}}) {
        g_driver.lineErrors = reported;
        ChannelDiscardInput(channel);
    }
    LineErrorCounters n;
    Check(ChannelErrorCounters(channel, n) && n.framing == 2 && n.parity == 1 && n.overrun == 1 &&
              n.breaks == 1,
          "line errors: each report of a kind counts one");
}

// Stop while a read waits for the reply ends the read, not the wait; a call
// that a wedged driver never finishes, at opening or closing, is given up.
void CheckNothingHoldsStop() {
    g_driver = FakeDriver{};
    g_driver.replyToWrites = false;
    SerialChannel channel{};
    OpenChannel(channel, "COM3");
    ChannelSetReplyWait(channel, 10'000);
    ChannelWrite(channel, kRequest, sizeof kRequest);
    Event stop;
    std::thread pressing([&stop] {
        Sleep(50);
        stop.Set();
    });
    ULONGLONG before = GetTickCount64();
    std::uint8_t reply[kFrameBufferSize];
    CheckCode(ChannelRead(channel, reply, sizeof reply, &stop), kErrAborted, "Stop during a wait");
    pressing.join();
    Check(GetTickCount64() - before < 2000, "Stop during a wait: the read ends at once");
    CloseChannel(channel);
    for (DWORD FakeDriver::*const sleepMs :
         {&FakeDriver::stateSleepMs, &FakeDriver::closeSleepMs}) {
        g_driver = FakeDriver{};
        g_driver.*sleepMs = 600'000;  // never, as far as the check goes
        before = GetTickCount64();
        OpenChannel(channel, "COM3");
        CloseChannel(channel);
        std::printf("  a wedged call: open and close took %llu ms\n", GetTickCount64() - before);
        Check(GetTickCount64() - before < 10'000, "a wedged call at open or close is given up");
    }
}

// The errors with which a driver fails every request once its adapter was
// pulled out or reset: the port is gone, and every call fails at once,
// without troubling the driver, until it is opened again. A request refused
// for a line error that latched since the last clear is no such thing.
void CheckPortGone() {
    struct Case {
        const char* name;
        DWORD error;
        bool latched;
    };
    const Case cases[] = {
        {"ERROR_ACCESS_DENIED", ERROR_ACCESS_DENIED, false},
        {"ERROR_BAD_COMMAND", ERROR_BAD_COMMAND, false},
        {"ERROR_GEN_FAILURE", ERROR_GEN_FAILURE, false},
        {"ERROR_DEVICE_REMOVED", ERROR_DEVICE_REMOVED, false},
        {"ERROR_NOT_READY (Wine)", ERROR_NOT_READY, false},
        {"ERROR_OPERATION_ABORTED", ERROR_OPERATION_ABORTED, false},
        {"ERROR_OPERATION_ABORTED of a line error latched", ERROR_OPERATION_ABORTED, true},
    };
    for (const Case& c : cases) {
        g_driver = FakeDriver{};
        g_driver.failWith = c.error;
        g_driver.failLatches = c.latched;
        SerialChannel channel{};
        OpenChannel(channel, "COM3");
        char what[160];
        std::snprintf(what, sizeof what, "%s: the write fails", c.name);
        CheckCode(ChannelWrite(channel, kRequest, sizeof kRequest), kErrExchange, what);
        std::snprintf(what, sizeof what, "%s: %s", c.name,
                      c.latched ? "the port is not gone" : "the port is gone, with the reason");
        Check(ChannelPortGone(channel) == !c.latched &&
                  (c.latched || std::strstr(channel.lastError, "gone") != nullptr),
              what);
        g_driver.failWith = 0;
        std::snprintf(
            what, sizeof what, "%s: %s", c.name,
            c.latched ? "the next attempt is answered" : "the next attempt fails at once");
        CheckCode(Exchange(channel), c.latched ? kReplyRead : kErrExchange, what);
        if (!c.latched) CheckCode(g_driver.waits, 0, what);
    }
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    UseFakeDriver();
    CheckLatchedLineError();
    CheckLeftOverEventCharacter();
    CheckSilentEventCharacter();
    CheckFailingWait();
    CheckReplyStillArriving();
    CheckListen();
    CheckPortGone();
    CheckOpenSettingsAndErrorCounts();
    for (const StuckCase& stuck :
         {StuckCase{"stuck wait", false}, StuckCase{"stuck write", true}}) {
        CheckStuckRequest(stuck);
    }
    // Last: the wedged calls it leaves behind never finish.
    CheckNothingHoldsStop();
    return FinishChecks();
}
