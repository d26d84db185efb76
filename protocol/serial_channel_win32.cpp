// The serial channel over the Win32 communications calls, with overlapped I/O
// so that the wait for a reply's ETX is bounded and can be given up.
//
// The driver itself recognises the end of a reply: the DCB names ETX as the
// event character and the event mask holds EV_RXFLAG alone, so WaitCommEvent
// completes once an ETX is in the receive queue. Since ETX never stands
// inside a frame, everything queued at that moment is the reply, and one
// ReadFile of exactly the queued count takes it.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "protocol/event.h"
#include "protocol/frame_codec.h"
#include "protocol/line_timing.h"
#include "protocol/port_name.h"
#include "protocol/serial_channel.h"
#include "serial_line_settings.h"

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

COMMTIMEOUTS ChannelTimeouts() {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kReplyWaitMs;
    // A constant 250 ms alone is too short for the longest frames: 250 ms of
    // line time carry 1440 bytes, but a block frame whose data needs many
    // escapes is up to 2070 bytes long, so every such block would fail. One
    // millisecond per byte is several times a byte's line time, which keeps
    // the bound loose enough for a slow USB adapter.
    timeouts.WriteTotalTimeoutMultiplier = 1;
    timeouts.WriteTotalTimeoutConstant = kWriteMarginMs;
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
            CloseChannel(channel_);
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
    char reason[160] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reason, sizeof reason, nullptr);
    // The system's texts end in a line break.
    while (length > 0 && (reason[length - 1] == '\r' || reason[length - 1] == '\n' ||
                          reason[length - 1] == ' ')) {
        reason[--length] = '\0';
    }
    std::snprintf(channel.lastError, sizeof channel.lastError, "%s: %s: %s (error %lu)",
                  portName != nullptr ? portName : "(no port name)", step,
                  length > 0 ? reason : "no text from the system", error);
    return kErrPortOpen;
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
// POSIX channel does.
DWORD ReplyWaitMs(ULONGLONG lineFreeAtMs) {
    const ULONGLONG now = GetTickCount64();
    const ULONGLONG stillOnLine = lineFreeAtMs > now ? lineFreeAtMs - now : 0;
    return static_cast<DWORD>(stillOnLine) + kReplyWaitMs;
}

}  // namespace

ResultCode OpenChannel(SerialChannel& channel, const char* portName) {
    CloseChannel(channel);
    channel.lastError[0] = '\0';
    channel.readOverlapped = OVERLAPPED{};
    channel.writeOverlapped = OVERLAPPED{};
    channel.CommEventMask = 0;
    channel.lineFreeAtMs = 0;
    CloseUnlessKept closeOnFailure(channel);

    if (portName == nullptr) {
        SetLastError(ERROR_INVALID_NAME);
        return FailOpen(channel, portName, "cannot be opened");
    }
    // COM10 and above cannot be opened by their bare name, so every COMn goes
    // through the device namespace (see port_name.h); other names go as the
    // operator gave them. A name too long for the buffer is no port either,
    // and fails below under its own name.
    char systemName[64];
    const char* openName = portName;
    if (NeedsDeviceNamespace(portName)) {
        const int length = std::snprintf(systemName, sizeof systemName, "%.*s%s",
                                         static_cast<int>(kDeviceNamespacePrefix.size()),
                                         kDeviceNamespacePrefix.data(), portName);
        if (length > 0 && static_cast<std::size_t>(length) < sizeof systemName) {
            openName = systemName;
        }
    }
    const HANDLE port =
        CreateFileA(openName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return FailOpen(channel, portName, "cannot be opened");
    }
    channel.port = port;

    DCB settings = ChannelLineSettings();
    if (!SetCommState(port, &settings)) {
        return FailOpen(channel, portName, "refused the line settings");
    }
    COMMTIMEOUTS timeouts = ChannelTimeouts();
    if (!SetCommTimeouts(port, &timeouts)) {
        return FailOpen(channel, portName, "refused the time-outs");
    }
    if (!SetCommMask(port, EV_RXFLAG)) {
        return FailOpen(channel, portName, "refused the event mask");
    }
    channel.ReadEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (channel.ReadEvent == nullptr) {
        return FailOpen(channel, portName, "no event could be created");
    }
    channel.WriteEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (channel.WriteEvent == nullptr) {
        return FailOpen(channel, portName, "no event could be created");
    }
    channel.readOverlapped.hEvent = channel.ReadEvent;
    channel.writeOverlapped.hEvent = channel.WriteEvent;
    closeOnFailure.Keep();
    return kResultOk;
}

ResultCode CloseChannel(SerialChannel& channel) {
    // Closing the port first also ends a wait for ETX that an aborted read
    // left outstanding, before the event it signals goes away.
    CloseIfPresent(channel.port);
    CloseIfPresent(channel.ReadEvent);
    CloseIfPresent(channel.WriteEvent);
    channel.lineFreeAtMs = 0;
    return kResultOk;
}

bool ChannelIsOpen(const SerialChannel& channel) {
    return channel.port != nullptr;
}

ResultCode ChannelWrite(SerialChannel& channel, const std::uint8_t* bytes, int count) {
    if (!ChannelIsOpen(channel) || count < 0) {
        return kErrExchange;
    }
    // The frame starts out now and has left the line after its own line time;
    // the read that follows counts its wait for the reply from there.
    channel.lineFreeAtMs = GetTickCount64() + static_cast<ULONGLONG>(LineTimeMs(count));

    ResetEvent(channel.WriteEvent);
    DWORD written = 0;
    if (!WriteFile(channel.port, bytes, static_cast<DWORD>(count), &written,
                   &channel.writeOverlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            return kErrExchange;
        }
        if (!GetOverlappedResult(channel.port, &channel.writeOverlapped, &written, TRUE)) {
            return kErrExchange;
        }
    }
    // Short only when the write time-out ran out first.
    return written == static_cast<DWORD>(count) ? kResultOk : kErrExchange;
}

int ChannelRead(SerialChannel& channel, std::uint8_t* buffer, int maximum, const Event* abort) {
    if (!ChannelIsOpen(channel)) {
        return kErrExchange;
    }
    // Taken once: a further read without a write in between waits in full.
    const ULONGLONG lineFreeAtMs = channel.lineFreeAtMs;
    channel.lineFreeAtMs = 0;

    ResetEvent(channel.ReadEvent);
    if (!WaitCommEvent(channel.port, &channel.CommEventMask, &channel.readOverlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            return kErrExchange;
        }
        // Stop and Exit are seen only here, before the wait begins. The wait
        // stays outstanding; closing the port ends it.
        if (abort != nullptr && abort->IsSet()) {
            return kErrAborted;
        }
        if (WaitForSingleObject(channel.ReadEvent, ReplyWaitMs(lineFreeAtMs)) != WAIT_OBJECT_0) {
            // Setting the mask again completes the outstanding wait, so the
            // next read can start one of its own.
            SetCommMask(channel.port, EV_RXFLAG);
            return kErrExchange;
        }
    }
    if ((channel.CommEventMask & EV_RXFLAG) == 0) {
        return kErrExchange;
    }

    // Learns the queued count and clears any line error in one step; the
    // error flags themselves are of no interest, the frame's checksum judges.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(channel.port, &errors, &status)) {
        return kErrExchange;
    }
    const DWORD limit = maximum > 0 ? static_cast<DWORD>(maximum) : 0;
    const DWORD wanted = std::min(status.cbInQue, limit);
    if (wanted == 0) {
        return kErrExchange;
    }

    // Bytes beyond `wanted`, or arriving after the count was taken, stay
    // queued for the purge at the start of the next attempt.
    ResetEvent(channel.ReadEvent);
    DWORD delivered = 0;
    if (!ReadFile(channel.port, buffer, wanted, &delivered, &channel.readOverlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            return kErrExchange;
        }
        if (!GetOverlappedResult(channel.port, &channel.readOverlapped, &delivered, TRUE)) {
            return kErrExchange;
        }
    }
    return delivered == 0 ? kErrExchange : static_cast<int>(delivered);
}

void ChannelDiscardInput(SerialChannel& channel) {
    if (!ChannelIsOpen(channel)) {
        return;
    }
    // Only the receive side: a write still leaving the line is not cut off.
    PurgeComm(channel.port, PURGE_RXCLEAR);
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(channel.port, &errors, &status);
}
