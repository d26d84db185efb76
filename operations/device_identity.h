// Identification: the presence check (command 16), the information request
// (command 18), and the identity fields filled from the reply.
#pragma once

#include <cstdint>

#include "dialog/command_context.h"
#include "protocol/result_code.h"

inline constexpr std::uint8_t kCommandPresence = 16;
inline constexpr std::uint8_t kCommandInformation = 18;

// The information record, from the first data byte of the reply (offset 4 of
// the payload). Multi-byte fields are little-endian.
struct DeviceInfo {
    std::uint8_t deviceType[4];
    std::uint16_t bootVersion;
    std::uint32_t bootDate;
    std::uint16_t appVersion;
    std::uint32_t appDate;
    std::uint16_t requiredBootVersion;
    std::uint8_t serialNumber[3];
};

// The texts the identity fields show. The longest is 18 characters of ASCII;
// the device type may hold up to four Cyrillic letters in UTF-8.
struct IdentityTexts {
    char deviceType[16];
    char serialNumber[24];
    char bootVersion[24];
    char appVersion[24];
    char requiredBootVersion[24];
};

inline constexpr const char* kStatusReading = "Чтение данных";
inline constexpr const char* kStatusReadDone = "Чтение завершено";
inline constexpr const char* kTextAbsent = "отсутствует";
inline constexpr const char* kTextNotSet = "не задан";

// Reads the record from 25 bytes of reply data.
DeviceInfo ParseDeviceInfo(const std::uint8_t* data);
IdentityTexts FormatIdentity(const DeviceInfo& info);

// Presence check and information request over the open channel; fills the
// identity fields. 0, or the first failure (kErrNoDevice when the presence
// check got no valid reply).
ResultCode IdentifyDevice(CommandContext& context, std::uint8_t node);

// The search button: repeats the identification while no device answers,
// until Stop or Exit. Opens and closes the port itself; a port that goes
// away meanwhile (an adapter pulled out) is opened again by its name every
// second until it is back, and the search goes on.
ResultCode SearchDeviceCommand(CommandContext& context);

// The port went away during a search: shows so (the status line, the
// front-end's notice), then opens `portName` again every second until it
// opens (0) or Stop or Exit is pressed (kErrAborted).
ResultCode AwaitPortBack(CommandContext& context, const char* portName);
