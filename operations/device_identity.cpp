#include "operations/device_identity.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "dialog/control_ids.h"
#include "dialog/status.h"
#include "exchange/exchange.h"
#include "operations/dialog_inputs.h"
#include "platform/event.h"

namespace {

std::uint16_t Word16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t Word32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Appends `value` as exactly `digits` uppercase hex digits, zero-filled. The
// field templates ("%02.1X", "%04.4X") are the Windows formatter's, which
// fills with zeros to the field width; C's printf would give " 5" for
// "%02.1X" of 5, so the digits are produced here explicitly.
char* AppendHex(char* out, std::uint32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = kDigits[value & 0xF];
        value >>= 4;
    }
    return out + digits;
}

// "VV.vv (DD.MM.YYYY)": the version's high and low byte, then the date
// word's top byte, next byte and low 16 bits.
void FormatVersionAndDate(char* out, std::uint16_t version, std::uint32_t date) {
    out = AppendHex(out, version >> 8, 2);
    *out++ = '.';
    out = AppendHex(out, version & 0xFFu, 2);
    *out++ = ' ';
    *out++ = '(';
    out = AppendHex(out, date >> 24, 2);
    *out++ = '.';
    out = AppendHex(out, (date >> 16) & 0xFFu, 2);
    *out++ = '.';
    out = AppendHex(out, date & 0xFFFFu, 4);
    *out++ = ')';
    *out = '\0';
}

void FormatVersion(char* out, std::uint16_t version) {
    out = AppendHex(out, version >> 8, 2);
    *out++ = '.';
    out = AppendHex(out, version & 0xFFu, 2);
    *out = '\0';
}

// Windows-1251 upper half as Unicode code points; the device type is single-
// byte text in that code page. 0x98 has no character and shows as U+FFFD.
constexpr std::uint16_t kCp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

char* AppendCp1251(char* out, std::uint8_t byte) {
    std::uint32_t code = byte;
    if (byte >= 0xC0) {
        code = 0x0410u + (byte - 0xC0u);  // А..я
    } else if (byte >= 0x80) {
        code = kCp1251High[byte - 0x80];
    }
    if (code < 0x80) {
        *out++ = static_cast<char>(code);
    } else if (code < 0x800) {
        *out++ = static_cast<char>(0xC0 | (code >> 6));
        *out++ = static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out++ = static_cast<char>(0xE0 | (code >> 12));
        *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (code & 0x3F));
    }
    return out;
}

}  // namespace

DeviceInfo ParseDeviceInfo(const std::uint8_t* data) {
    DeviceInfo info{};
    std::memcpy(info.deviceType, data, 4);
    info.bootVersion = Word16(data + 4);
    info.bootDate = Word32(data + 6);
    info.appVersion = Word16(data + 14);
    info.appDate = Word32(data + 16);
    info.requiredBootVersion = Word16(data + 20);
    std::memcpy(info.serialNumber, data + 22, 3);
    return info;
}

IdentityTexts FormatIdentity(const DeviceInfo& info) {
    IdentityTexts texts{};

    // Up to four bytes; a zero byte ends the text early.
    char* out = texts.deviceType;
    for (std::uint8_t character : info.deviceType) {
        if (character == 0) break;
        out = AppendCp1251(out, character);
    }
    *out = '\0';

    const std::uint8_t* s = info.serialNumber;
    if (s[0] == 0xFF && s[1] == 0xFF && s[2] == 0xFF) {
        std::snprintf(texts.serialNumber, sizeof texts.serialNumber, "%s", kTextNotSet);
    } else {
        const unsigned long serial = static_cast<unsigned long>(s[0]) |
                                     static_cast<unsigned long>(s[1]) << 8 |
                                     static_cast<unsigned long>(s[2]) << 16;
        std::snprintf(texts.serialNumber, sizeof texts.serialNumber, "%lu", serial);
    }

    // The boot-loader field never says "absent": erased words show as zeros.
    FormatVersionAndDate(texts.bootVersion, info.bootVersion == 0xFFFF ? 0 : info.bootVersion,
                         info.bootDate == 0xFFFFFFFFu ? 0 : info.bootDate);

    if (info.appVersion == 0xFFFF) {
        std::snprintf(texts.appVersion, sizeof texts.appVersion, "%s", kTextAbsent);
    } else {
        FormatVersionAndDate(texts.appVersion, info.appVersion, info.appDate);
    }

    if (info.requiredBootVersion == 0xFFFF) {
        std::snprintf(texts.requiredBootVersion, sizeof texts.requiredBootVersion, "%s",
                      kTextAbsent);
    } else {
        FormatVersion(texts.requiredBootVersion, info.requiredBootVersion);
    }
    return texts;
}

ResultCode IdentifyDevice(CommandContext& context, std::uint8_t node) {
    Dialog& dialog = context.dialog;
    for (int id : kIdentityFields)
        dialog.SetItemText(id, "");
    ShowStatus(dialog, kStatusReading, 100, 0);

    context.presenceAnswered = false;
    int result = ExchangePresenceCheck(context.line, node, kCommandPresence);
    if (result == kErrExchange) return kErrNoDevice;
    if (result < 0) return result;
    context.presenceAnswered = true;

    result = ExchangeCommand(context.line, node, kCommandInformation);
    if (result < 0) return result;

    ShowStatus(dialog, kStatusReadDone, 100, 100);
    // Bytes a short reply did not carry read as zero: the decoder cleared
    // the payload area beyond the reply.
    const IdentityTexts texts = FormatIdentity(ParseDeviceInfo(context.line.PayloadBuffer + 4));
    dialog.SetItemText(kIdDeviceType, texts.deviceType);
    dialog.SetItemText(kIdSerialNumber, texts.serialNumber);
    dialog.SetItemText(kIdBootVersion, texts.bootVersion);
    dialog.SetItemText(kIdAppVersion, texts.appVersion);
    dialog.SetItemText(kIdRequiredBoot, texts.requiredBootVersion);
    return kResultOk;
}

ResultCode AwaitPortBack(CommandContext& context, const char* portName) {
    if (context.portGoneNotice) context.portGoneNotice(false);
    // The catalogue's own words for a port that does not open, for as long
    // as it does not.
    char text[256] = {};
    context.dialog.LoadMessage(MessageIdOf(kErrPortOpen), text, sizeof text);
    ShowStatus(context.dialog, text, 100, 0);
    const ResultCode result =
        ReopenChannel(context.line.channel, portName, &context.commandEvent, -1);
    if (result == kResultOk && context.portGoneNotice) context.portGoneNotice(true);
    return result;
}

ResultCode SearchDeviceCommand(CommandContext& context) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kShortestAttempt = std::chrono::milliseconds(250);

    std::uint8_t node = 0;
    char portName[kPortNameLimit + 1];
    ResultCode result = OpenPortFromDialog(context, node, portName);
    while (result == kResultOk) {
        const auto started = Clock::now();
        result = IdentifyDevice(context, node);
        // Gone during either request: nothing answers through a port that
        // went away, but the same port may well come back.
        if ((result == kErrNoDevice || result == kErrExchange) &&
            ChannelPortGone(context.line.channel)) {
            result = AwaitPortBack(context, portName);
            continue;
        }
        if (result != kErrNoDevice) break;
        // A port that fails at once (an unplugged adapter fails every write
        // and read immediately) never reaches the exchange's abort test, so
        // the search looks at Stop itself, and paces such fast failures
        // rather than spin.
        if (context.commandEvent.IsSet()) {
            result = kErrAborted;
            break;
        }
        const auto spent = Clock::now() - started;
        if (spent < kShortestAttempt) {
            const auto rest =
                std::chrono::duration_cast<std::chrono::milliseconds>(kShortestAttempt - spent);
            if (context.commandEvent.Wait(static_cast<int>(rest.count()) + 1)) {
                result = kErrAborted;
                break;
            }
        }
        result = kResultOk;
    }
    CloseChannel(context.line.channel);
    return result;
}
