// Checks of the Windows serial channel and event, run under Wine.
//
// Without arguments only what needs no port: a failed open, closing, the line
// settings and the event. With a port name (tests/wine/serial_channel_pty.sh
// maps a pseudo-terminal to one) it also opens that port, writes two frames
// and prints them as "wrote <hex>" lines for the script to compare with what
// arrived on the other side, and reads once. Wine never reports the event
// character, so no reply can be received here; the reply paths are checked on
// Linux through the same exchange code. With a port name the script must
// have sent a few bytes to the port before the check starts; they are used to
// check that discarding input empties the receive queue.
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
#include "serial_line_settings.h"
#include "transport/line_timing.h"
#include "transport/serial_channel.h"

namespace {

void CheckCode(long actual, long expected, const char* what) {
    if (actual != expected) {
        std::printf("  got %ld, expected %ld\n", actual, expected);
    }
    Check(actual == expected, what);
}

bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool NothingOpen(const SerialChannel& channel) {
    return !ChannelIsOpen(channel) && channel.port == nullptr && !channel.requests;
}

bool AllClosedOrReused(const HANDLE (&old)[3], const HANDLE (&current)[3]) {
    for (const HANDLE handle : old) {
        DWORD flags = 0;
        const bool reused = std::find(current, current + 3, handle) != current + 3;
        if (!reused && GetHandleInformation(handle, &flags)) {
            return false;
        }
    }
    return true;
}

// The DCB's bit fields as the one 32-bit word that follows BaudRate.
DWORD FlagWord(const DCB& dcb) {
    static_assert(offsetof(DCB, BaudRate) == 4 && offsetof(DCB, wReserved) == 12);
    DWORD word = 0;
    std::memcpy(&word, reinterpret_cast<const unsigned char*>(&dcb) + 8, sizeof word);
    return word;
}

void CheckLineSettings() {
    const DCB dcb = ChannelLineSettings();
    Check(FlagWord(dcb) == 0x4011, "DCB flag word is 0x4011");
    Check(dcb.DCBlength == 28 && dcb.BaudRate == 57600 && dcb.ByteSize == 8 &&
              dcb.Parity == NOPARITY && dcb.StopBits == ONESTOPBIT && dcb.EvtChar == 3,
          "DCB length, baud rate, 8N1 and event character ETX");
    // Everything not set above is zero: nothing of a previous program's
    // settings (XON/XOFF limits and characters, error character) remains.
    DCB rest = dcb;
    rest.DCBlength = 0;
    rest.BaudRate = 0;
    rest.fBinary = 0;
    rest.fDtrControl = 0;
    rest.fRtsControl = 0;
    rest.fAbortOnError = 0;
    rest.ByteSize = 0;
    rest.EvtChar = 0;
    const DCB zero{};
    Check(std::memcmp(&rest, &zero, sizeof rest) == 0, "every other DCB field is zero");

    const COMMTIMEOUTS timeouts = ChannelTimeouts();
    Check(timeouts.ReadIntervalTimeout == 0 && timeouts.ReadTotalTimeoutMultiplier == 0 &&
              timeouts.ReadTotalTimeoutConstant == 250,
          "reads give up after 250 ms");
    // Each write is bounded by its own line time plus 250 ms.
    const COMMTIMEOUTS longest = ChannelTimeouts(2070);
    Check(timeouts.WriteTotalTimeoutConstant == 250 && timeouts.WriteTotalTimeoutMultiplier == 0 &&
              longest.WriteTotalTimeoutMultiplier == 0 &&
              longest.WriteTotalTimeoutConstant == static_cast<DWORD>(LineTimeMs(2070) + 250),
          "write bound is the frame's line time plus 250 ms");
}

void CheckEvent() {
    Event event;
    Check(event.Valid() && event.NativeHandle() != nullptr, "event created");
    Check(!event.IsSet() && !event.Wait(0), "event starts unset");
    event.Set();
    Check(event.IsSet() && event.Wait(0) && event.Wait(-1), "set event stays set");
    Check(WaitForSingleObject(static_cast<HANDLE>(event.NativeHandle()), 0) == WAIT_OBJECT_0,
          "native handle is the event");
    event.Reset();
    Check(!event.IsSet(), "reset event is unset");

    const ULONGLONG before = GetTickCount64();
    const bool timedOutSet = event.Wait(100);
    const ULONGLONG waited = GetTickCount64() - before;
    if (timedOutSet || waited < 80) {
        std::printf("  Wait(100) gave %d after %llu ms\n", timedOutSet ? 1 : 0, waited);
    }
    Check(!timedOutSet && waited >= 80, "wait on an unset event runs to its time-out");

    std::thread setter([&event] {
        Sleep(50);
        event.Set();
    });
    const bool woken = event.Wait(20000);
    setter.join();
    Check(woken, "wait ends when another thread sets the event");
}

void CheckWithoutPort() {
    SerialChannel channel{};
    CheckCode(CloseChannel(channel), kResultOk, "closing a channel never opened");
    CheckCode(CloseChannel(channel), kResultOk, "closing it again");

    CheckCode(OpenChannel(channel, "COM99"), kErrPortOpen, "a missing port does not open");
    Check(NothingOpen(channel), "nothing open after a failed open");
    Check(std::strstr(channel.lastError, "COM99") != nullptr &&
              std::strlen(channel.lastError) > std::strlen("COM99: "),
          "the failure keeps the port name and a reason");
    std::printf("  reason kept: %s\n", channel.lastError);

    std::uint8_t byte = kEtx;
    CheckCode(ChannelWrite(channel, &byte, 1), kErrExchange, "no write on a closed channel");
    CheckCode(ChannelRead(channel, &byte, 1, nullptr), kErrExchange, "no read on a closed channel");
    ChannelDiscardInput(channel);
    CheckCode(CloseChannel(channel), kResultOk, "closing after a failed open");
    CheckCode(CloseChannel(channel), kResultOk, "and again");
}

void PrintWritten(const std::uint8_t* bytes, int count) {
    std::printf("wrote ");
    for (int i = 0; i < count; ++i) {
        std::printf("%02x", bytes[i]);
    }
    std::printf("\n");
}

// Writes one encoded frame of `payloadLength` bytes of `fill` and prints it.
// The channel does not look into what it writes, so no request layout is
// needed.
void WriteFrame(SerialChannel& channel, FrameBuffers& buffers, int payloadLength, std::uint8_t fill,
                const char* what) {
    std::memset(buffers.PayloadBuffer, fill, sizeof buffers.PayloadBuffer);
    const int frameLength = EncodeFrame(buffers, payloadLength);
    CheckCode(ChannelWrite(channel, buffers.TxFrameBuffer, frameLength), kResultOk, what);
    PrintWritten(buffers.TxFrameBuffer, frameLength);
}

void CheckWithPort(const char* portName) {
    static SerialChannel channel{};
    static FrameBuffers buffers{};

    CheckCode(OpenChannel(channel, portName), kResultOk, "the mapped port opens");
    if (!ChannelIsOpen(channel)) {
        std::printf("  reason: %s\n", channel.lastError);
        return;
    }
    const PortRequests& requests = *channel.requests;
    Check(requests.read.event != nullptr && requests.write.event != nullptr &&
              requests.read.overlapped.hEvent == requests.read.event &&
              requests.write.overlapped.hEvent == requests.write.event,
          "events bound to the overlapped records");

    DCB applied{};
    applied.DCBlength = sizeof applied;
    Check(GetCommState(channel.port, &applied) && applied.BaudRate == 57600 &&
              applied.ByteSize == 8 && applied.Parity == NOPARITY &&
              applied.StopBits == ONESTOPBIT && !applied.fOutxCtsFlow && !applied.fOutX &&
              !applied.fInX,
          "the port runs at 57600 8N1 without flow control");
    COMMTIMEOUTS timeouts{};
    Check(GetCommTimeouts(channel.port, &timeouts) && timeouts.ReadTotalTimeoutConstant == 250 &&
              timeouts.WriteTotalTimeoutMultiplier == 0 &&
              timeouts.WriteTotalTimeoutConstant == 250,
          "the port has the channel's time-outs");
    DWORD mask = 0;
    Check(GetCommMask(channel.port, &mask) && mask == EV_RXFLAG, "the event mask is EV_RXFLAG");

    // The script put bytes into the line before the port was opened.
    DWORD errors = 0;
    COMSTAT status{};
    Check(ClearCommError(channel.port, &errors, &status) && status.cbInQue > 0,
          "bytes sent before the open are queued");
    ChannelDiscardInput(channel);
    Check(ClearCommError(channel.port, &errors, &status) && status.cbInQue == 0,
          "discarding empties the receive queue");

    // The channel opens its port without sharing, so a second open of the
    // port it holds is refused. Wine leaves exclusivity to the device and
    // lets a second handle through whatever the sharing asked for, so there
    // the promise cannot be seen either way.
    constexpr char kExclusive[] = "a second open of the held port is refused";
    SerialChannel other{};
    const ResultCode second = OpenChannel(other, portName);
    if (second == kResultOk && RunningUnderWine()) {
        NotRun(kExclusive, "Wine lets a second handle open a port opened without sharing");
    } else {
        CheckCode(second, kErrPortOpen, kExclusive);
        if (second != kResultOk) {
            Check(NothingOpen(other), "nothing of a refused second open survives");
        }
    }
    CloseChannel(other);

    // A short frame, and a block-sized one with every payload byte escaped
    // (2069 bytes), far beyond what 250 ms of line time carry.
    WriteFrame(channel, buffers, 3, 0x10, "a short frame is written");
    WriteFrame(channel, buffers, 1033, kStx, "a block-sized frame is written");

    const ULONGLONG before = GetTickCount64();
    CheckCode(
        ChannelRead(channel, buffers.RxFrameBuffer, static_cast<int>(kFrameBufferSize), nullptr),
        kErrExchange, "no reply: the read fails");
    // The read counts its 250 ms on this same clock from no earlier than
    // `before` (from the moment the long frame has left the line, whatever
    // the driver does with the event character), so it cannot end sooner;
    // generous at the top.
    const ULONGLONG waited = GetTickCount64() - before;
    std::printf("  the read gave up after %llu ms\n", waited);
    Check(waited >= 250 && waited < 3000,
          "the read waits 250 ms to 3 s for a reply, then gives up");

    // Stop pressed before the wait begins: the read gives up without waiting
    // and leaves the event as it found it.
    Event abort;
    abort.Set();
    CheckCode(
        ChannelRead(channel, buffers.RxFrameBuffer, static_cast<int>(kFrameBufferSize), &abort),
        kErrAborted, "an abort seen before the wait ends the read");
    Check(abort.IsSet(), "the read leaves the abort event set");

    // Opening again on the same channel closes what was open first. Handle
    // values are unique among open handles, so an old handle either is
    // reused by the new open or no longer works.
    const HANDLE first[] = {channel.port, channel.requests->read.event,
                            channel.requests->write.event};
    CheckCode(OpenChannel(channel, portName), kResultOk, "the port opens again");
    const HANDLE after[] = {channel.port, channel.requests->read.event,
                            channel.requests->write.event};
    Check(AllClosedOrReused(first, after), "opening again closed the previous handles");
    CheckCode(CloseChannel(channel), kResultOk, "the port closes");
    Check(NothingOpen(channel), "nothing open after closing");
    const HANDLE none[] = {nullptr, nullptr, nullptr};
    Check(AllClosedOrReused(after, none), "closing released every handle");
    CheckCode(CloseChannel(channel), kResultOk, "closing twice");
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    CheckLineSettings();
    CheckEvent();
    CheckWithoutPort();
    if (argc > 1) {
        CheckWithPort(argv[1]);
    }
    return FinishChecks();
}
