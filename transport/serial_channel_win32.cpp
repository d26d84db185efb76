// The serial channel over the Win32 communications calls, with overlapped I/O
// so that the wait for a reply's ETX is bounded and can be given up.
//
// The DCB names ETX as the event character and the event mask holds
// EV_RXFLAG alone, so on a driver that implements the event character
// WaitCommEvent completes once an ETX has arrived. Many USB-serial drivers do
// not, and neither does Wine, whose wait completes within milliseconds with
// an empty mask. So the wait is only the wake-up: whatever ends it (the
// event, an empty mask, an error, or the end of the reply wait) leads to the
// same look at the queue, which moves the driver's bytes into the channel's
// own queue (receive_queue.h); the reply is complete when an ETX stands
// there, as on POSIX. Without a complete reply the channel waits again until
// the reply wait is over (later while a frame is still arriving).
//
// Every call to the driver goes through its table (serial_driver_calls.h),
// and no wait for it is without a bound: a driver that never completes a
// request leaves the channel broken until it is closed, never hung.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/bounded_call.h"
#include "platform/event.h"
#include "platform/system_error_win32.h"
#include "protocol/frame_codec.h"
#include "serial_driver_calls.h"
#include "serial_line_settings.h"
#include "transport/line_timing.h"
#include "transport/port_name.h"
#include "transport/receive_queue.h"
#include "transport/serial_channel.h"
#include "transport/serial_port.h"

static_assert(sizeof(DCB) == 28, "the port expects the 28-byte DCB");

DCB ChannelLineSettings() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = kBaudRate;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    // After a framing, overrun or parity error the port fails reads and
    // writes until ClearCommError runs; a damaged reply is then dropped
    // rather than read as if it were whole.
    dcb.fAbortOnError = 1;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.EvtChar = static_cast<char>(kEtx);
    return dcb;
}

COMMTIMEOUTS ChannelTimeouts(int frameLength) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kReplyWaitMs;
    // A constant 250 ms alone is too short for the longest frames: 250 ms of
    // line time carry 1440 bytes, but a block frame whose data needs many
    // escapes is up to 2070 bytes long, so every such block would fail. A
    // multiplier can only count whole milliseconds per byte, six times the
    // line time, which would leave Stop unseen for over two seconds during a
    // long frame; so the constant carries the frame's own line time instead.
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant =
        static_cast<DWORD>(LineTimeMs(frameLength > 0 ? frameLength : 0) + kWriteMarginMs);
    return timeouts;
}

namespace {

// Closes the channel when an open fails part-way, so that no handle survives.
class CloseUnlessKept {
  public:
    explicit CloseUnlessKept(SerialChannel& channel) : channel_(channel) {}
    CloseUnlessKept(const CloseUnlessKept&) = delete;
    CloseUnlessKept& operator=(const CloseUnlessKept&) = delete;
    ~CloseUnlessKept() {
        if (!kept_) {
            CloseSerialPort(channel_);
        }
    }
    void Keep() { kept_ = true; }

  private:
    SerialChannel& channel_;
    bool kept_ = false;
};

// Keeps the port's name, the failed step and the system's own text of the
// last error, so that the terminal front-end can tell the technician more
// than the catalogue message does (a missing port, a port in use, ...).
ResultCode FailOpen(SerialChannel& channel, const char* portName, const char* step) {
    const DWORD error = GetLastError();
    char reason[480];
    const bool known = SystemErrorText(error, reason, sizeof reason);
    std::snprintf(channel.lastError, sizeof channel.lastError, "%s: %s: %s (error %lu)",
                  portName != nullptr ? portName : "(no port name)", step,
                  known ? reason : "no text from the system", error);
    return kErrPortOpen;
}

// The same for a port that fails once open; the front-end names the port.
ResultCode FailLine(SerialChannel& channel, const char* step) {
    const DWORD error = GetLastError();
    char reason[480];
    if (channel.portGone) {
        // The reason was kept where the driver said so.
    } else if (channel.broken) {
        std::snprintf(channel.lastError, sizeof channel.lastError,
                      "%s: the driver did not finish a request (the adapter removed?)", step);
    } else {
        const bool known = SystemErrorText(error, reason, sizeof reason);
        std::snprintf(channel.lastError, sizeof channel.lastError, "%s: %s (error %lu)", step,
                      known ? reason : "no text from the system", error);
    }
    return kErrExchange;
}

void CloseIfPresent(HANDLE& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

// How long a read waits for the reply's ETX. The device cannot answer before
// the request has left the line, so the wait counts from that moment and not
// from the start of the read: the write call can return while much of a long
// frame is still in the adapter, and counting from the read's start would
// shorten the device's time to answer by however long that is. A read that
// follows no write (the exchange's listen-only attempt) waits the full time.
// A write that returned only after the frame's line time (the driver really
// waited for the line) leaves the device the full time from then on, as the
// POSIX channel does. On the receive queue's clock, as its end of the wait;
// a read that goes on with the wait before it keeps that one's end.
std::int64_t ReplyDeadlineUs(ReceiveQueue& queue, std::int64_t lineFreeAtUs) {
    return BeginReplyWait(queue, lineFreeAtUs, ReplyWaitUs(queue));
}

// Whole milliseconds until `endUs`, rounded up so that no wait ends early.
DWORD RemainingMs(std::int64_t endUs) {
    const std::int64_t left = endUs - ReceiveClockUs();
    return left <= 0 ? 0 : static_cast<DWORD>((left + 999) / 1000);
}

// How long a request that has been told to end (a wait by a new event mask,
// any request by CancelIoEx, every request by closing the port) has to
// complete. A driver that lets that pass has lost its device (some
// USB-serial drivers after the adapter was pulled out never complete a
// cancelled request); nothing here waits for it without a bound.
constexpr DWORD kRequestEndMs = 250;

// With fAbortOnError a line error (a framing error at each turnaround of an
// RS-485 bus without fail-safe bias) makes the driver refuse every request
// but ClearCommError until that has been called, so it is called before
// each request the error would refuse. `status` gets the driver's counts.
// The errors it reports are tallied for the open (SerialPortErrorCounters);
// the read does not act on them: a damaged reply fails its frame check.
void TallyLineErrors(SerialChannel& channel, DWORD errors) {
    SerialChannel::LineErrorTally& tally = channel.lineErrors;
    if ((errors & CE_FRAME) != 0) ++tally.framing;
    if ((errors & CE_RXPARITY) != 0) ++tally.parity;
    // The UART's overrun and the driver's own full buffer, as Linux counts both.
    if ((errors & (CE_OVERRUN | CE_RXOVER)) != 0) ++tally.overrun;
    if ((errors & CE_BREAK) != 0) ++tally.breaks;
}

void NoteIfGone(SerialChannel& channel, const char* step, bool refusedAtOnce);

bool ClearLineErrors(SerialChannel& channel, COMSTAT& status) {
    DWORD errors = 0;
    if (!SerialDriver().clearCommError(channel.port, &errors, &status)) {
        NoteIfGone(channel, "ClearCommError", true);
        return false;
    }
    TallyLineErrors(channel, errors);
    return true;
}

bool ClearLineErrors(SerialChannel& channel) {
    COMSTAT status{};
    return ClearLineErrors(channel, status);
}

// Whether a request that failed with `error` failed because the port went
// away: once its adapter is pulled out or reset (a USB adapter's power
// dips, its driver restarts), the driver fails every request with one of
// these, for as long as the handle lives, and the adapter that comes back is
// reached only through a new handle.
//
// ERROR_OPERATION_ABORTED is also what a request ends with when the channel
// cancelled it itself, and, with fAbortOnError, what every request but
// ClearCommError is refused with while a line error is latched. So it counts
// only for a request refused as it was made (`refusedAtOnce`: the channel
// cancels only requests that were pending), made after ClearCommError had
// cleared the errors, and only when a further ClearCommError then fails or
// shows no line error latched in between.
bool PortGoneError(SerialChannel& channel, DWORD error, bool refusedAtOnce) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_DEVICE_REMOVED:
        // Wine's, for a terminal that hung up (EIO): ClearCommError fails
        // with it, and is then the first call to fail.
        case ERROR_NOT_READY:
            return true;
        case ERROR_OPERATION_ABORTED: {
            if (!refusedAtOnce) return false;
            DWORD errors = 0;
            COMSTAT status{};
            if (SerialDriver().clearCommError(channel.port, &errors, &status) == FALSE) return true;
            TallyLineErrors(channel, errors);
            return errors == 0;
        }
        default:
            return false;
    }
}

// Called where a request failed: marks the port gone when the driver says
// so, with the reason for the technician. GetLastError stays as it was.
void NoteIfGone(SerialChannel& channel, const char* step, bool refusedAtOnce) {
    const DWORD error = GetLastError();
    if (!channel.portGone && PortGoneError(channel, error, refusedAtOnce)) {
        channel.portGone = true;
        char reason[400];
        const bool known = SystemErrorText(error, reason, sizeof reason);
        std::snprintf(channel.lastError, sizeof channel.lastError,
                      "%s: the port is gone: %s (error %lu)", step,
                      known ? reason : "no text from the system", error);
    }
    SetLastError(error);
}

// Waits up to `boundMs` for a pending request, then cancels it and waits a
// little more. True once it has completed, with its outcome in `succeeded`
// and `transferred`. False when it has not: the driver still owns the
// record, so the channel is broken and never hands it to the driver again.
bool AwaitRequest(SerialChannel& channel, PortRequest& request, DWORD boundMs, DWORD& transferred,
                  bool& succeeded) {
    if (WaitForSingleObject(request.event, boundMs) != WAIT_OBJECT_0) {
        SerialDriver().cancelIoEx(channel.port, &request.overlapped);
        if (WaitForSingleObject(request.event, kRequestEndMs) != WAIT_OBJECT_0) {
            channel.broken = true;
            return false;
        }
    }
    request.pending = false;
    transferred = 0;
    succeeded = SerialDriver().getOverlappedResult(channel.port, &request.overlapped, &transferred,
                                                   FALSE) != FALSE;
    return true;
}

// Sets the event mask anew, which completes a wait outstanding and makes the
// driver forget an ETX that arrived while no wait was pending (the next wait
// would end at once with nothing new). A driver keeps those remembered
// events that the new mask still asks for, so the mask is emptied first.
void ResetEventMask(SerialChannel& channel) {
    SerialDriver().setCommMask(channel.port, 0);
    SerialDriver().setCommMask(channel.port, EV_RXFLAG);
}

// Ends a WaitCommEvent still outstanding on the read record and sees its
// completion, so that it cannot land on the record (and signal its event)
// after the next call has started with it. Setting the mask again completes
// the wait. False when the wait never completed (the channel is broken).
bool EndOutstandingWait(SerialChannel& channel) {
    PortRequest& wait = channel.requests->read;
    if (!wait.pending) return true;
    ClearLineErrors(channel);
    ResetEventMask(channel);
    DWORD ignored = 0;
    bool succeeded = false;
    return AwaitRequest(channel, wait, kRequestEndMs, ignored, succeeded);
}

// Moves what the driver has queued into the channel's queue: ClearCommError
// learns the count and clears any line error, then one ReadFile takes that
// many bytes, which are there, so it completes at once. The number of bytes
// taken, or -1 when the port fails.
int TakeQueuedBytes(SerialChannel& channel) {
    COMSTAT status{};
    if (!ClearLineErrors(channel, status)) return -1;
    std::size_t room = 0;
    std::uint8_t* space = ReceiveSpace(channel.received, room);
    const DWORD wanted = std::min<DWORD>(status.cbInQue, static_cast<DWORD>(room));
    if (wanted == 0) return 0;
    if (!EndOutstandingWait(channel)) return -1;
    PortRequests& requests = *channel.requests;
    ResetEvent(requests.read.event);
    DWORD delivered = 0;
    if (!SerialDriver().readFile(channel.port, requests.readBuffer, wanted, &delivered,
                                 &requests.read.overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            NoteIfGone(channel, "ReadFile", true);
            return -1;
        }
        requests.read.pending = true;
        bool succeeded = false;
        if (!AwaitRequest(channel, requests.read, kReplyWaitMs, delivered, succeeded)) return -1;
        if (!succeeded) {
            NoteIfGone(channel, "ReadFile", false);
            return -1;
        }
    }
    std::memcpy(space, requests.readBuffer, std::min<DWORD>(delivered, wanted));
    ReceiveAppended(channel.received, std::min<DWORD>(delivered, wanted));
    return static_cast<int>(delivered);
}

// A wake-up that brought nothing new is followed by a pause on the command
// event before the next wait. Wine ends every wait at once and starts a
// thread for each (some 4 ms of CPU), so a loop that waited again at once
// would keep a core busy for the whole reply wait, and even pauses of a few
// tens of milliseconds cost 15% of a core during a search with no device.
// So the pause lasts the rest of the reply wait unless bytes arrive: during
// it the queue is looked at with one cheap call, often while a reply is
// most likely (the first 50 ms after the request has left the line: a
// device answers within a few milliseconds) and seldom after, so a reply
// is not kept waiting and a silent line costs little. A driver that signals
// the event character gets here only once it has been seen not to.
constexpr std::int64_t kReplyLikelyUs = 50'000;
constexpr DWORD kQuickLookMs = 4;
constexpr DWORD kSlowLookMs = 25;

// How often a listen looks at the driver's queue. The event character is of
// no use here (any byte counts, not only ETX), so the queue is polled; a
// diagnosis can spare the cheap call every 10 ms. Bytes are stamped as the
// look finds them, late by up to the time since the look before, which is
// longer than this where the system's timer ticks every 15.6 ms; the
// channel keeps the longest it has seen for the diagnosis to allow for.
constexpr DWORD kListenLookMs = 10;

// Pauses until `endUs`, ending early when bytes are queued. False when the
// command event was set (Stop ends the pause at once).
bool PauseWatchingQueue(SerialChannel& channel, std::int64_t endUs, std::int64_t lineFreeAtUs,
                        const Event* abort) {
    for (;;) {
        const DWORD left = RemainingMs(endUs);
        if (left == 0) return true;
        const bool likely = ReceiveClockUs() < lineFreeAtUs + kReplyLikelyUs;
        const DWORD slice = std::min(left, likely ? kQuickLookMs : kSlowLookMs);
        if (abort == nullptr) {
            Sleep(slice);
        } else if (abort->Wait(static_cast<int>(slice))) {
            return false;
        }
        COMSTAT status{};
        if (!ClearLineErrors(channel, status) || status.cbInQue > 0) return true;
    }
}

// Leaves the driver's records behind when it may still write into them.
// Closing the port ends every request on it, so a request still pending is
// given a bounded time to complete first.
void ReleaseRequests(SerialChannel& channel) {
    if (!channel.requests) return;
    PortRequests& requests = *channel.requests;
    bool driverOwnsRecords = false;
    for (PortRequest* request : {&requests.read, &requests.write}) {
        if (request->pending &&
            WaitForSingleObject(request->event, kRequestEndMs) != WAIT_OBJECT_0) {
            driverOwnsRecords = true;
        }
    }
    if (driverOwnsRecords) {
        // The driver never completed a request, not even with its port
        // closed, and may still write the outcome into the record, signal
        // its event and fill the read buffer at any time. Freed, that memory
        // would have another use by then; so this one block and its two
        // events are left to the driver on purpose, a few kilobytes for a
        // port whose adapter vanished mid-request.
        static_cast<void>(channel.requests.release());
        return;
    }
    CloseIfPresent(requests.read.event);
    CloseIfPresent(requests.write.event);
    channel.requests.reset();
}

// The calls that take no OVERLAPPED wait inside the driver for as long as it
// takes, and a driver wedged by its USB device may take for ever. Those at
// opening and closing the port, which are rare, run on a thread of their
// own (one per open or close, a millisecond at most), so that a wedged
// driver fails the open or leaves its handle behind rather than holding the
// command. The per-exchange calls (ClearCommError before each request,
// PurgeComm and SetCommMask at each attempt, SetCommTimeouts when the frame
// length changes) stay on the caller's thread: a thread each would cost
// more than the exchange itself under Wine, and bounding them would take a
// standing thread per open to hand them to. A driver that wedges there has
// mostly failed an overlapped request first, whose bound breaks the channel.
// Generous: a working driver sets a USB adapter up in tens of milliseconds.
constexpr int kDriverCallBoundMs = 2000;

// Runs `job` within kDriverCallBoundMs; on a machine out of threads, here.
// False when it did not finish in time: the thread still owns the job.
template <class Job>
bool RunDriverCalls(const std::shared_ptr<Job>& job) {
    if (!job->done.Valid()) {
        job->Run();
        return true;
    }
    switch (RunBounded(job, kDriverCallBoundMs, nullptr)) {
        case BoundedOutcome::kDone:
            return true;
        case BoundedOutcome::kNoThread:
            job->Run();
            return true;
        case BoundedOutcome::kTimedOut:
        case BoundedOutcome::kAborted:
            break;
    }
    return false;
}

// XON and XOFF as the ASCII control characters DC1 and DC3.
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

// The line settings, time-outs and event mask of a port just opened. The
// step that failed and the system's error, read on the job's own thread.
struct PortSetup {
    HANDLE port = nullptr;
    DCB settings = ChannelLineSettings();
    COMMTIMEOUTS timeouts = ChannelTimeouts();
    const char* failedStep = nullptr;
    DWORD error = 0;
    Event done;

    bool Fail(const char* step) {
        failedStep = step;
        error = GetLastError();
        return false;
    }
    bool Apply() {
        SerialDriverCalls& driver = SerialDriver();
        if (!driver.setCommState(port, &settings)) {
            // Flow control is off, yet a driver may refuse an XON character
            // equal to the XOFF character, as the reference allows. The
            // usual pair satisfies it; nothing else of the settings changes.
            if (GetLastError() != ERROR_INVALID_PARAMETER) return Fail("refused the line settings");
            settings.XonChar = kXon;
            settings.XoffChar = kXoff;
            if (!driver.setCommState(port, &settings)) return Fail("refused the line settings");
        }
        if (!driver.setCommTimeouts(port, &timeouts)) return Fail("refused the time-outs");
        if (!driver.setCommMask(port, EV_RXFLAG)) return Fail("refused the event mask");
        return true;
    }
    void Run() { static_cast<void>(Apply()); }
};

struct PortClosing {
    HANDLE port = nullptr;
    Event done;
    void Run() { SerialDriver().closePort(port); }
};

}  // namespace

SerialDriverCalls& SerialDriver() {
    static SerialDriverCalls calls{
        &::CreateFileW, &::CloseHandle, &::SetCommState,   &::SetCommTimeouts,
        &::SetCommMask, &::PurgeComm,   &::ClearCommError, &::WaitCommEvent,
        &::ReadFile,    &::WriteFile,   &::CancelIoEx,     &::GetOverlappedResult,
    };
    return calls;
}

// The adapter or its driver switches an RS-485 line's direction here; the
// system has no mode for the tool to turn on.
void ChannelRestoreAtExit() {}

bool SerialPortsHaveRs485Mode() {
    return false;
}

bool SerialPortRs485State(const SerialChannel&, Rs485DriverState&) {
    return false;
}

ResultCode OpenSerialPort(SerialChannel& channel, const char* portName) {
    CloseSerialPort(channel);
    channel.lastError[0] = '\0';
    channel.lineFreeAtUs = 0;
    channel.broken = false;
    channel.watchQueue = false;
    channel.lineErrors = {};
    channel.listenLookUs = std::int64_t{kListenLookMs} * 1000;
    CloseUnlessKept closeOnFailure(channel);

    if (portName == nullptr) {
        SetLastError(ERROR_INVALID_NAME);
        return FailOpen(channel, portName, "cannot be opened");
    }
    channel.requests.reset(new (std::nothrow) PortRequests);
    if (!channel.requests) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FailOpen(channel, portName, "cannot be opened");
    }
    for (PortRequest* request : {&channel.requests->read, &channel.requests->write}) {
        request->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (request->event == nullptr) {
            return FailOpen(channel, portName, "no event could be created");
        }
        request->overlapped.hEvent = request->event;
    }
    // COM10 and above cannot be opened by their bare name, so every COMn goes
    // through the device namespace (see port_name.h); other names go as the
    // operator gave them. The name is UTF-8 and reaches the system through
    // the wide call, whatever the code page. A name too long for the buffer
    // is no port either, and fails below under its own name.
    char systemName[300];
    const char* openName = portName;
    if (NeedsDeviceNamespace(portName)) {
        const int length = std::snprintf(systemName, sizeof systemName, "%.*s%s",
                                         static_cast<int>(kDeviceNamespacePrefix.size()),
                                         kDeviceNamespacePrefix.data(), portName);
        if (length > 0 && static_cast<std::size_t>(length) < sizeof systemName) {
            openName = systemName;
        }
    }
    wchar_t wideName[300];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, openName, -1, wideName, 300) == 0) {
        return FailOpen(channel, portName, "cannot be opened");
    }
    const HANDLE port =
        SerialDriver().createFile(wideName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return FailOpen(channel, portName, "cannot be opened");
    }
    channel.port = port;

    const auto setup = std::make_shared<PortSetup>();
    setup->port = port;
    if (!RunDriverCalls(setup)) {
        SetLastError(ERROR_TIMEOUT);
        return FailOpen(channel, portName, "did not finish setting the line up");
    }
    if (setup->failedStep != nullptr) {
        SetLastError(setup->error);
        return FailOpen(channel, portName, setup->failedStep);
    }
    channel.writeTimeoutMs = setup->timeouts.WriteTotalTimeoutConstant;
    ClearReceiveQueue(channel.received);
    closeOnFailure.Keep();
    return kResultOk;
}

ResultCode CloseSerialPort(SerialChannel& channel) {
    // Closing the port ends whatever request is still outstanding (a wait
    // for ETX that an aborted read left, a request of a broken channel);
    // only then can its records go. A close that does not finish in time
    // leaves the handle to its thread.
    if (channel.port != nullptr) {
        const auto closing = std::make_shared<PortClosing>();
        closing->port = channel.port;
        channel.port = nullptr;
        RunDriverCalls(closing);
    }
    ReleaseRequests(channel);
    channel.broken = false;
    channel.portGone = false;
    channel.lineFreeAtUs = 0;
    ClearReceiveQueue(channel.received);
    return kResultOk;
}

bool SerialPortIsOpen(const SerialChannel& channel) {
    return channel.port != nullptr;
}

// A driver that never completed a request has most likely lost its adapter
// too; either way only a new handle can serve again.
bool SerialPortGone(const SerialChannel& channel) {
    return channel.port != nullptr && (channel.portGone || channel.broken);
}

ResultCode SerialPortWrite(SerialChannel& channel, const std::uint8_t* bytes, int count) {
    if (!SerialPortIsOpen(channel) || channel.broken || channel.portGone || count < 0) {
        return kErrExchange;
    }
    if (!ClearLineErrors(channel)) return FailLine(channel, "write");
    // Bounded by the frame's own line time plus 250 ms, as on POSIX.
    COMMTIMEOUTS timeouts = ChannelTimeouts(count);
    if (timeouts.WriteTotalTimeoutConstant != channel.writeTimeoutMs) {
        if (!SerialDriver().setCommTimeouts(channel.port, &timeouts)) {
            NoteIfGone(channel, "SetCommTimeouts", true);
            return kErrExchange;
        }
        channel.writeTimeoutMs = timeouts.WriteTotalTimeoutConstant;
    }
    NoteFrameSent(channel.received, bytes, static_cast<std::size_t>(count));
    // The frame starts out now and has left the line after its own line time;
    // the read that follows counts its wait for the reply from there.
    channel.lineFreeAtUs = ReceiveClockUs() + LineTimeUs(count);

    PortRequest& write = channel.requests->write;
    ResetEvent(write.event);
    DWORD written = 0;
    if (!SerialDriver().writeFile(channel.port, bytes, static_cast<DWORD>(count), &written,
                                  &write.overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            NoteIfGone(channel, "WriteFile", true);
            return FailLine(channel, "write");
        }
        write.pending = true;
        // The driver ends the write at the port's write time-out; the bound
        // here is for a driver that does not.
        bool succeeded = false;
        if (!AwaitRequest(channel, write, channel.writeTimeoutMs + kRequestEndMs, written,
                          succeeded)) {
            return FailLine(channel, "write");
        }
        if (!succeeded) {
            NoteIfGone(channel, "WriteFile", false);
            return FailLine(channel, "write");
        }
    }
    // Short only when the write time-out ran out first.
    return written == static_cast<DWORD>(count) ? kResultOk : kErrExchange;
}

int SerialPortRead(SerialChannel& channel, std::uint8_t* buffer, int maximum, const Event* abort) {
    if (!SerialPortIsOpen(channel) || channel.broken || channel.portGone) {
        return kErrExchange;
    }
    // Taken once: a further read without a write in between waits in full.
    const std::int64_t lineFreeAtUs = channel.lineFreeAtUs;
    channel.lineFreeAtUs = 0;
    const std::int64_t deadlineUs = ReplyDeadlineUs(channel.received, lineFreeAtUs);
    constexpr std::int64_t kQuietUs = std::int64_t{kReplyQuietMs} * 1000;

    for (;;) {
        // A reply already complete is read even when Stop has been pressed.
        if (TakeQueuedBytes(channel) < 0) return kErrExchange;
        if (ReplyComplete(channel.received)) {
            return DeliverReply(channel.received, buffer, maximum);
        }
        // The reply wait, or longer while a frame is still arriving. The
        // bytes are counted as arrived when they are taken from the driver,
        // so the quiet that ends a frame which stopped is counted from then.
        const std::int64_t endUs = ReplyWaitEndUs(channel.received, deadlineUs, kQuietUs);
        const DWORD left = RemainingMs(endUs);
        if (left == 0) {
            // No reply, or one that stopped arriving: the request's echo
            // alone is judged by the echo rule.
            return DeliverHeldEcho(channel.received, buffer, maximum);
        }
        if (channel.watchQueue) {
            if (!PauseWatchingQueue(channel, endUs, lineFreeAtUs, abort)) return kErrAborted;
            continue;
        }

        if (!EndOutstandingWait(channel)) return kErrExchange;
        PortRequests& requests = *channel.requests;
        ResetEvent(requests.read.event);
        requests.eventMask = 0;
        // The wait runs to the end of the reply wait itself, not to the end
        // of a quiet gap in a frame still arriving.
        const bool fullWait = endUs == deadlineUs;
        bool timedOut = false;
        // The wait ended of itself, without an error or the end of the wait.
        bool woken = false;
        if (!SerialDriver().waitCommEvent(channel.port, &requests.eventMask,
                                          &requests.read.overlapped)) {
            if (GetLastError() == ERROR_IO_PENDING) {
                requests.read.pending = true;
                // Stop and Exit end the wait as soon as they come. The wait
                // stays outstanding; the next call or closing the port ends
                // it. When both are set the wait's end is seen first, so a
                // reply complete is still read.
                const HANDLE watched[] = {
                    requests.read.event,
                    abort != nullptr ? static_cast<HANDLE>(abort->NativeHandle()) : nullptr};
                const DWORD handles = watched[1] != nullptr ? 2 : 1;
                const DWORD woke = WaitForMultipleObjects(handles, watched, FALSE, left);
                if (woke == WAIT_OBJECT_0 + 1) {
                    return kErrAborted;
                }
                if (woke == WAIT_OBJECT_0) {
                    DWORD ignored = 0;
                    bool succeeded = false;
                    const bool ended = AwaitRequest(channel, requests.read, 0, ignored, succeeded);
                    if (ended && !succeeded) NoteIfGone(channel, "WaitCommEvent", false);
                    // A wait that ended in failure by itself, the port still
                    // there, is as telling: Wine fails it at once on a port
                    // without modem lines, after starting a thread for it.
                    woken = ended && !channel.portGone;
                    if (!succeeded) requests.eventMask = 0;
                } else {
                    // The wait is over: one more look at the queue.
                    timedOut = true;
                    if (!EndOutstandingWait(channel)) return kErrExchange;
                }
            } else {
                NoteIfGone(channel, "WaitCommEvent", true);
            }
            // A wait that failed at once ends like any other: look at the
            // queue; but a port gone has nothing more to give.
            if (channel.portGone) return kErrExchange;
        } else {
            woken = true;
        }

        const int taken = TakeQueuedBytes(channel);
        if (taken < 0) return kErrExchange;
        if (ReplyComplete(channel.received)) {
            // The reply's ETX was there when the whole reply wait ran out:
            // this driver accepts the event character but never signals it,
            // and every wait would last the whole reply wait (and a module
            // write 30 s longer). The queue is watched instead for the rest
            // of the open. An ETX that came just as the wait ran out switches
            // too; that costs only the watching, which a driver without the
            // event character gets anyway. The short waits at the end of a
            // frame still arriving are no such sign: ETX may come as they end.
            if (timedOut && fullWait) channel.watchQueue = true;
            return DeliverReply(channel.received, buffer, maximum);
        }
        if (taken > 0 || timedOut) continue;
        // Nothing new: the driver does not signal the event character (Wine
        // ends every wait at once with an empty mask). An ETX remembered
        // from before the wait is forgotten with the mask at each attempt,
        // so a wait that ended without the event says so of this driver for
        // the rest of the open: the queue is watched instead, and no further
        // wait is issued (under Wine each costs a thread).
        // A wait refused (a line error since the look before) says nothing.
        if (woken && (requests.eventMask & EV_RXFLAG) == 0) channel.watchQueue = true;
        const std::int64_t pauseEndUs = ReplyWaitEndUs(channel.received, deadlineUs, kQuietUs);
        if (!PauseWatchingQueue(channel, pauseEndUs, lineFreeAtUs, abort)) return kErrAborted;
    }
}

int SerialPortListen(SerialChannel& channel, std::uint8_t* buffer, int maximum,
                     std::int64_t untilUs, const Event* abort) {
    if (!SerialPortIsOpen(channel) || channel.broken || channel.portGone || maximum <= 0)
        return kErrExchange;
    std::int64_t lookedAtUs = 0;
    for (;;) {
        // Bytes already taken are delivered even when the port failed since.
        const int taken = TakeQueuedBytes(channel);
        const std::int64_t nowUs = ReceiveClockUs();
        if (lookedAtUs != 0)
            channel.listenLookUs = std::max(channel.listenLookUs, nowUs - lookedAtUs);
        lookedAtUs = nowUs;
        if (channel.received.count > 0) return DeliverQueued(channel.received, buffer, maximum);
        if (taken < 0) return FailLine(channel, "read");
        if (abort != nullptr && abort->IsSet()) return kErrAborted;
        const DWORD left = RemainingMs(untilUs);
        if (left == 0) return 0;
        const DWORD slice = std::min(left, kListenLookMs);
        if (abort == nullptr) {
            Sleep(slice);
        } else if (abort->Wait(static_cast<int>(slice))) {
            return kErrAborted;
        }
    }
}

int SerialPortListenLookMs(const SerialChannel& channel) {
    return static_cast<int>((channel.listenLookUs + 999) / 1000);
}

bool SerialPortErrorCounters(const SerialChannel& channel, LineErrorCounters& counters) {
    // Windows keeps no counts; these are the channel's tally since the open.
    if (!SerialPortIsOpen(channel)) return false;
    const SerialChannel::LineErrorTally& tally = channel.lineErrors;
    counters.framing = tally.framing;
    counters.parity = tally.parity;
    counters.overrun = tally.overrun;
    counters.breaks = tally.breaks;
    return true;
}

void SerialPortDiscardInput(SerialChannel& channel) {
    ClearReceiveQueue(channel.received);
    if (!SerialPortIsOpen(channel) || channel.broken) {
        return;
    }
    // Only the receive side: a write still leaving the line is not cut off.
    // A line error left from the last reply would make the driver refuse
    // the purge, and the stale bytes would spoil the next attempt.
    ClearLineErrors(channel);
    SerialDriver().purgeComm(channel.port, PURGE_RXCLEAR);
    // The driver remembers an ETX that arrived while no wait was pending,
    // and the purge does not forget it: the next wait would end at once with
    // nothing new and fall into the watching pause. Setting the mask again
    // forgets it (and ends a wait an aborted read left outstanding). A
    // channel that watches the queue issues no wait that could end so.
    if (channel.requests->read.pending) {
        EndOutstandingWait(channel);
    } else if (!channel.watchQueue) {
        ResetEventMask(channel);
    }
}
