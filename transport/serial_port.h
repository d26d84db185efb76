// The local serial port under the channel: the platform's half, one file per
// platform. The channel (serial_channel.h) chooses between it and a network
// connection by the port's name; nothing else calls these.
#pragma once

#include <cstdint>

#include "protocol/result_code.h"
#include "serial_channel_state.h"  // from transport/posix or transport/win32

class Event;
struct LineErrorCounters;

ResultCode OpenSerialPort(SerialChannel& channel, const char* portName);
ResultCode CloseSerialPort(SerialChannel& channel);
bool SerialPortIsOpen(const SerialChannel& channel);
bool SerialPortGone(const SerialChannel& channel);
ResultCode SerialPortWrite(SerialChannel& channel, const std::uint8_t* bytes, int count);
int SerialPortRead(SerialChannel& channel, std::uint8_t* buffer, int maximum, const Event* abort);
int SerialPortListen(SerialChannel& channel, std::uint8_t* buffer, int maximum,
                     std::int64_t untilUs, const Event* abort);
void SerialPortDiscardInput(SerialChannel& channel);
int SerialPortListenLookMs(const SerialChannel& channel);
bool SerialPortErrorCounters(const SerialChannel& channel, LineErrorCounters& counters);
// Whether local ports of this system may have the kernel's RS-485 mode.
bool SerialPortsHaveRs485Mode();
bool SerialPortRs485State(const SerialChannel& channel, Rs485DriverState& state);
