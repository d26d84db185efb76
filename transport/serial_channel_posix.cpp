// The serial channel on POSIX systems: termios, poll and a small receive
// buffer of the channel's own.
//
// Windows lets the driver signal the arrival of the event character (ETX);
// termios has no such event, so the channel reads whatever arrives into its
// own buffer and treats the arrival of 0x03 there as the event. The kernel's
// queue plus that buffer together are the receive queue: a read delivers
// min(queued, maximum) bytes of it and leaves the rest for the next purge.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/event.h"
#include "protocol/frame_codec.h"
#include "transport/line_timing.h"
#include "transport/posix/serial_rs485_calls.h"
#include "transport/serial_channel.h"
#include "transport/serial_port.h"

namespace {

std::int64_t NowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void NoteFailure(SerialChannel& channel, const char* portName, const char* what, int error) {
    std::snprintf(channel.lastError, sizeof channel.lastError, "%s: %s: %s", portName, what,
                  std::strerror(error));
}

// The errors of a terminal whose device is gone: a USB adapter pulled out
// (EIO, ENODEV), a pseudo-terminal whose other side closed (EIO), a node
// left without its driver (ENXIO).
bool IsPortGoneError(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

// The system's reason when an open port fails, for the technician; the
// front-end puts the port's name before it.
void NoteLineFailure(SerialChannel& channel, const char* what, int error) {
    if (IsPortGoneError(error)) channel.portGone = true;
    std::snprintf(channel.lastError, sizeof channel.lastError, "%s: %s", what,
                  std::strerror(error));
}

// A terminal that has hung up (an adapter unplugged, a pseudo-terminal whose
// other side closed) never carries a byte again.
int HungUp(SerialChannel& channel, const char* what) {
    channel.portGone = true;
    std::snprintf(channel.lastError, sizeof channel.lastError, "%s: the port hung up", what);
    return kErrExchange;
}

// Raw 57600 8N1 with every flag set from zero, as the Windows DCB is built:
// a port that another program left with two stop bits, parity, RTS/CTS or
// XON/XOFF must not keep any of them (cfmakeraw alone does not clear those).
bool ApplyLineSettings(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return false;  // not a terminal at all
    std::memset(&settings, 0, sizeof settings);
    settings.c_iflag = IGNBRK;  // no parity check, no stripping, no XON/XOFF, no CR/NL mapping
    settings.c_oflag = 0;       // no output processing
    settings.c_cflag = CS8 | CREAD | CLOCAL;  // 8 data bits, 1 stop bit, no parity, no RTS/CTS
    settings.c_lflag = 0;                     // no echo, no canonical mode, no signals
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, B57600) != 0 || cfsetospeed(&settings, B57600) != 0) return false;
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

// DTR raised, RTS off, where the port has modem lines (a pseudo-terminal has
// none, which is not a failure).
void SetModemLines(int fd) {
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    (void)ioctl(fd, TIOCMBIS, &dtr);
    (void)ioctl(fd, TIOCMBIC, &rts);
}

int ReadRs485(int fd, serial_rs485& settings) {
    return ioctl(fd, TIOCGRS485, &settings) == 0 ? 0 : errno;
}

int WriteRs485(int fd, serial_rs485& settings) {
    return ioctl(fd, TIOCSRS485, &settings) == 0 ? 0 : errno;
}

// What a driver without an RS-485 mode answers: the serial core and other
// terminals (USB adapters, pseudo-terminals) ENOTTY, some UART drivers
// EINVAL, and user-mode emulation ENOSYS, as it does not pass these calls on.
bool NoRs485Mode(int error) {
    return error == ENOTTY || error == EINVAL || error == ENOSYS;
}

// The ports whose RS-485 mode an open changed, with what to give back, for
// a program that ends at once without closing them (ChannelRestoreAtExit).
// A slot is -1 when free and -2 while it is being filled.
struct ModeToRestore {
    std::atomic<int> fd{-1};
    serial_rs485 before{};
};
ModeToRestore g_modesToRestore[16];

void KeepModeToRestore(int fd, const serial_rs485& before) {
    for (ModeToRestore& slot : g_modesToRestore) {
        int free = -1;
        if (!slot.fd.compare_exchange_strong(free, -2)) continue;
        slot.before = before;
        slot.fd.store(fd);
        return;
    }
}

void ForgetModeToRestore(int fd) {
    for (ModeToRestore& slot : g_modesToRestore) {
        int held = fd;
        if (slot.fd.compare_exchange_strong(held, -1)) return;
    }
}

// Turns the kernel's RS-485 mode on as `channel.rs485` asks, keeping the
// port's settings to give back at the close. Everything but the direction
// and the delays stays as the driver has it: receiving while sending, in
// particular, makes the line echo, which the echo rules allow for.
bool EnableRs485(SerialChannel& channel, const char* portName) {
    serial_rs485 settings{};
    int error = SerialRs485Driver().read(channel.fd, settings);
    if (error == 0) {
        channel.rs485Before = settings;
        settings.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        settings.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
        settings.delay_rts_before_send = static_cast<__u32>(channel.rs485.delayBeforeMs);
        settings.delay_rts_after_send = static_cast<__u32>(channel.rs485.delayAfterMs);
        error = SerialRs485Driver().write(channel.fd, settings);
    }
    if (error == 0) {
        channel.rs485Changed = true;
        KeepModeToRestore(channel.fd, channel.rs485Before);
        // A driver may drop what it cannot do; without the mode itself the
        // transceiver would never be switched to send.
        if ((settings.flags & SER_RS485_ENABLED) != 0) return true;
        error = ENOTTY;
    }
    if (NoRs485Mode(error)) {
        std::snprintf(channel.lastError, sizeof channel.lastError,
                      "%s: this port's driver has no RS-485 mode", portName);
    } else {
        NoteFailure(channel, portName, "refuses the RS-485 mode", error);
    }
    return false;
}

// Reads what the kernel has queued into the channel's queue without
// waiting. False when the port has vanished or failed.
bool TakeQueuedBytes(SerialChannel& channel) {
    for (;;) {
        std::size_t room = 0;
        std::uint8_t* space = ReceiveSpace(channel.received, room);
        if (room == 0) return true;  // a reply is in the full queue; the rest can wait
        const ssize_t got = read(channel.fd, space, room);
        if (got > 0) {
            ReceiveAppended(channel.received, static_cast<std::size_t>(got));
            continue;
        }
        // With VMIN and VTIME 0 a terminal reports an empty queue as 0 bytes.
        if (got == 0) return true;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        NoteLineFailure(channel, "read", errno);
        return false;  // EIO and the like: the port is gone
    }
}

// Milliseconds until `deadlineUs`, rounded up so poll never returns early.
int RemainingMs(std::int64_t deadlineUs) {
    const std::int64_t left = deadlineUs - NowUs();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

}  // namespace

ResultCode OpenSerialPort(SerialChannel& channel, const char* portName) {
    CloseSerialPort(channel);
    channel.lastError[0] = '\0';

    const int fd = open(portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        NoteFailure(channel, portName, "cannot open", errno);
        return kErrPortOpen;
    }
    channel.fd = fd;

    // The lock holds for root too, which TIOCEXCL does not.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        std::snprintf(channel.lastError, sizeof channel.lastError, "%s: %s", portName,
                      error == EWOULDBLOCK ? "in use by another program" : std::strerror(error));
        CloseSerialPort(channel);
        return kErrPortOpen;
    }
    if (ioctl(fd, TIOCEXCL) != 0 && errno != EINVAL && errno != ENOTTY) {
        NoteFailure(channel, portName, "cannot take it exclusively", errno);
        CloseSerialPort(channel);
        return kErrPortOpen;
    }
    if (!ApplyLineSettings(fd)) {
        NoteFailure(channel, portName, "refuses the line settings", errno);
        CloseSerialPort(channel);
        return kErrPortOpen;
    }
    SetModemLines(fd);
    // After the modem lines: from here on the driver owns RTS.
    if (channel.rs485.enabled && !EnableRs485(channel, portName)) {
        CloseSerialPort(channel);
        return kErrPortOpen;
    }
    ClearReceiveQueue(channel.received);
    channel.lineFreeAtUs = 0;
    return kResultOk;
}

SerialRs485Calls& SerialRs485Driver() {
    static SerialRs485Calls calls{&ReadRs485, &WriteRs485};
    return calls;
}

void ChannelRestoreAtExit() {
    for (ModeToRestore& slot : g_modesToRestore) {
        const int fd = slot.fd.load();
        serial_rs485 before = slot.before;
        if (fd >= 0) (void)SerialRs485Driver().write(fd, before);
    }
}

bool SerialPortsHaveRs485Mode() {
    return true;
}

bool SerialPortRs485State(const SerialChannel& channel, Rs485DriverState& state) {
    if (channel.fd < 0) return false;
    state = Rs485DriverState{};
    serial_rs485 settings{};
    // Some kernels answer for a driver without the mode with settings all
    // off rather than with ENOTTY.
    const int error = SerialRs485Driver().read(channel.fd, settings);
    if (error != 0) return NoRs485Mode(error);
    state.support =
        (settings.flags & SER_RS485_ENABLED) != 0 ? Rs485Support::kOn : Rs485Support::kOff;
    state.mode.enabled = state.support == Rs485Support::kOn;
    state.mode.delayBeforeMs = static_cast<int>(settings.delay_rts_before_send);
    state.mode.delayAfterMs = static_cast<int>(settings.delay_rts_after_send);
    state.rtsOnSend = (settings.flags & SER_RS485_RTS_ON_SEND) != 0;
    return true;
}

ResultCode CloseSerialPort(SerialChannel& channel) {
    if (channel.fd >= 0) {
        // The mode belongs to the UART and outlives the descriptor: give
        // back what the port had, whether or not it still answers.
        if (channel.rs485Changed) {
            ForgetModeToRestore(channel.fd);
            (void)SerialRs485Driver().write(channel.fd, channel.rs485Before);
        }
        channel.rs485Changed = false;
        // The exclusive flag belongs to the terminal and would outlive this
        // descriptor while anyone else holds the terminal open; clear it.
        // Closing the descriptor releases the flock.
        (void)ioctl(channel.fd, TIOCNXCL);
        close(channel.fd);
        channel.fd = -1;
    }
    channel.portGone = false;
    ClearReceiveQueue(channel.received);
    return kResultOk;
}

bool SerialPortIsOpen(const SerialChannel& channel) {
    return channel.fd >= 0;
}

bool SerialPortGone(const SerialChannel& channel) {
    return channel.fd >= 0 && channel.portGone;
}

ResultCode SerialPortWrite(SerialChannel& channel, const std::uint8_t* bytes, int count) {
    if (channel.fd < 0 || channel.portGone || count <= 0) return kErrExchange;
    // The bound is the frame's own line time plus a margin: a constant bound
    // would fail every long frame on a real 57600 baud line.
    NoteFrameSent(channel.received, bytes, static_cast<std::size_t>(count));
    const std::int64_t startUs = NowUs();
    const std::int64_t deadlineUs = startUs + LineTimeUs(count) + kWriteMarginMs * 1000;
    std::size_t done = 0;
    const auto total = static_cast<std::size_t>(count);
    while (done < total) {
        const ssize_t put = write(channel.fd, bytes + done, total - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            NoteLineFailure(channel, "write", errno);
            return kErrExchange;
        }
        const int waitMs = RemainingMs(deadlineUs);
        if (waitMs == 0) {
            std::snprintf(channel.lastError, sizeof channel.lastError,
                          "write: the port took no more bytes within the frame's time");
            return kErrExchange;
        }
        pollfd watch{channel.fd, POLLOUT, 0};
        const int ready = poll(&watch, 1, waitMs);
        if (ready < 0 && errno != EINTR) {
            NoteLineFailure(channel, "poll", errno);
            return kErrExchange;
        }
        if (ready > 0 && (watch.revents & POLLHUP) != 0) return HungUp(channel, "write");
        if (ready > 0 && (watch.revents & (POLLERR | POLLNVAL)) != 0) {
            std::snprintf(channel.lastError, sizeof channel.lastError, "write: the port failed");
            return kErrExchange;
        }
    }
    // The device cannot answer before the frame has left the line, so the
    // reply wait counts from there rather than from when the driver took it.
    channel.lineFreeAtUs = startUs + LineTimeUs(count);
    return kResultOk;
}

int SerialPortRead(SerialChannel& channel, std::uint8_t* buffer, int maximum, const Event* abort) {
    if (channel.fd < 0 || channel.portGone || maximum <= 0) return kErrExchange;
    const std::int64_t deadlineUs =
        BeginReplyWait(channel.received, channel.lineFreeAtUs, ReplyWaitUs(channel.received));
    // A reply that is already complete is delivered even when the port failed
    // right after it.
    const bool alive = TakeQueuedBytes(channel);
    if (!ReplyComplete(channel.received)) {
        if (!alive) return kErrExchange;
        // The wait would block: this is the one moment the abort is looked at.
        // A reply already complete is read even when Stop has been pressed.
        if (abort != nullptr && abort->IsSet()) return kErrAborted;
        constexpr std::int64_t kQuietUs = std::int64_t{kReplyQuietMs} * 1000;
        for (;;) {
            const int waitMs = RemainingMs(ReplyWaitEndUs(channel.received, deadlineUs, kQuietUs));
            // No reply, or a reply that stopped arriving: the request's echo
            // alone is judged by the echo rule.
            if (waitMs == 0) return DeliverHeldEcho(channel.received, buffer, maximum);
            pollfd watch{channel.fd, POLLIN, 0};
            const int ready = poll(&watch, 1, waitMs);
            if (ready < 0) {
                if (errno == EINTR) continue;
                NoteLineFailure(channel, "poll", errno);
                return kErrExchange;
            }
            if (ready == 0) continue;  // the deadline check above ends the loop
            if ((watch.revents & POLLIN) != 0 && !TakeQueuedBytes(channel)) return kErrExchange;
            if (ReplyComplete(channel.received)) break;
            // A vanished port (unplugged adapter, closed peer) reports a
            // hang-up or error; fail now rather than spin until the deadline.
            if ((watch.revents & POLLHUP) != 0) return HungUp(channel, "read");
            if ((watch.revents & (POLLERR | POLLNVAL)) != 0) return kErrExchange;
        }
    }
    return DeliverReply(channel.received, buffer, maximum);
}

// How long a listen waits at most before it looks at the abort event again.
constexpr int kListenSliceMs = 20;

int SerialPortListen(SerialChannel& channel, std::uint8_t* buffer, int maximum,
                     std::int64_t untilUs, const Event* abort) {
    if (channel.fd < 0 || channel.portGone || maximum <= 0) return kErrExchange;
    short failedEvents = 0;
    for (;;) {
        // Bytes that came before the port failed are still the line's.
        const bool alive = TakeQueuedBytes(channel);
        if (channel.received.count > 0) return DeliverQueued(channel.received, buffer, maximum);
        if (!alive) return kErrExchange;
        if ((failedEvents & POLLHUP) != 0) return HungUp(channel, "read");
        if (failedEvents != 0) {
            std::snprintf(channel.lastError, sizeof channel.lastError, "read: the port failed");
            return kErrExchange;
        }
        if (abort != nullptr && abort->IsSet()) return kErrAborted;
        const int left = RemainingMs(untilUs);
        if (left == 0) return 0;
        pollfd watch{channel.fd, POLLIN, 0};
        const int ready = poll(&watch, 1, std::min(left, kListenSliceMs));
        if (ready < 0 && errno != EINTR) {
            NoteLineFailure(channel, "poll", errno);
            return kErrExchange;
        }
        // A hang-up with bytes still queued delivers them first; the next
        // listen then finds the port gone. A terminal that has hung up
        // (a pseudo-terminal whose other side closed) reports POLLIN with
        // its hang-up and then reads as empty: looking again would spin
        // until the deadline and call a dead port silent.
        failedEvents =
            ready > 0 ? static_cast<short>(watch.revents & (POLLERR | POLLHUP | POLLNVAL)) : 0;
    }
}

int SerialPortListenLookMs(const SerialChannel&) {
    // poll wakes the listen as the bytes arrive.
    return 0;
}

bool SerialPortErrorCounters(const SerialChannel& channel, LineErrorCounters& counters) {
    if (channel.fd < 0) return false;
    // A pseudo-terminal or a driver without counts refuses (ENOTTY, EINVAL).
    serial_icounter_struct counts{};
    if (ioctl(channel.fd, TIOCGICOUNT, &counts) != 0) return false;
    counters.framing = static_cast<std::uint32_t>(counts.frame);
    counters.parity = static_cast<std::uint32_t>(counts.parity);
    counters.overrun = static_cast<std::uint32_t>(counts.overrun + counts.buf_overrun);
    counters.breaks = static_cast<std::uint32_t>(counts.brk);
    return true;
}

void SerialPortDiscardInput(SerialChannel& channel) {
    if (channel.fd < 0) return;
    (void)tcflush(channel.fd, TCIFLUSH);
    ClearReceiveQueue(channel.received);
}
