#include <gtest/gtest.h>

#include <array>
#include <string>

#include "operations/backup.h"
#include "operations/device_identity.h"

namespace {

// 25 bytes of reply data for the given fields.
std::array<std::uint8_t, 25> Record(std::array<std::uint8_t, 4> type, std::uint16_t boot,
                                    std::uint32_t bootDate, std::uint16_t app,
                                    std::uint32_t appDate, std::uint16_t required,
                                    std::array<std::uint8_t, 3> serial) {
    std::array<std::uint8_t, 25> r{};
    auto put = [&](int at, std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            r[static_cast<std::size_t>(at + i)] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    for (int i = 0; i < 4; ++i)
        r[static_cast<std::size_t>(i)] = type[static_cast<std::size_t>(i)];
    put(4, boot, 2);
    put(6, bootDate, 4);
    put(10, 0xDEADBEEF, 4);  // not interpreted
    put(14, app, 2);
    put(16, appDate, 4);
    put(20, required, 2);
    for (int i = 0; i < 3; ++i)
        r[static_cast<std::size_t>(22 + i)] = serial[static_cast<std::size_t>(i)];
    return r;
}

IdentityTexts Texts(const std::array<std::uint8_t, 25>& record) {
    return FormatIdentity(ParseDeviceInfo(record.data()));
}

TEST(IdentityTexts, OrdinaryDeviceIsZeroFilledHex) {
    const auto t = Texts(Record({'V', 'X', '4', '0'}, 0x0105, 0x25032016, 0x0A0B, 0x01020304,
                                0x0203, {0x39, 0x30, 0x00}));
    EXPECT_STREQ(t.deviceType, "VX40");
    EXPECT_STREQ(t.serialNumber, "12345");
    EXPECT_STREQ(t.bootVersion, "01.05 (25.03.2016)");
    // Single hex digits are filled with zeros, never with spaces.
    EXPECT_STREQ(t.appVersion, "0A.0B (01.02.0304)");
    EXPECT_STREQ(t.requiredBootVersion, "02.03");
}

TEST(IdentityTexts, AbsenceDiffersByField) {
    // Erased boot words show zeros; the others say "absent" or "not set".
    auto t = Texts(
        Record({0, 0, 0, 0}, 0xFFFF, 0xFFFFFFFF, 0xFFFF, 0x12345678, 0xFFFF, {0xFF, 0xFF, 0xFF}));
    EXPECT_STREQ(t.deviceType, "");
    EXPECT_STREQ(t.bootVersion, "00.00 (00.00.0000)");
    EXPECT_STREQ(t.appVersion, "отсутствует");
    EXPECT_STREQ(t.requiredBootVersion, "отсутствует");
    EXPECT_STREQ(t.serialNumber, "не задан");

    // An erased version with a valid date; a valid app version with an erased
    // date shows the date as it is.
    t = Texts(Record({'A', 'B', 0, 'C'}, 0xFFFF, 0x01022020, 0x0100, 0xFFFFFFFF, 0x0000,
                     {0xFF, 0xFF, 0x00}));
    EXPECT_STREQ(t.deviceType, "AB");
    EXPECT_STREQ(t.bootVersion, "00.00 (01.02.2020)");
    EXPECT_STREQ(t.appVersion, "01.00 (FF.FF.FFFF)");
    EXPECT_STREQ(t.requiredBootVersion, "00.00");
    EXPECT_STREQ(t.serialNumber, "65535");
}

TEST(IdentityTexts, SerialNumbers) {
    const std::pair<std::array<std::uint8_t, 3>, const char*> cases[] = {
        {{0x00, 0x00, 0x00}, "0"},
        {{0xFE, 0xFF, 0xFF}, "16777214"},
        {{0xFF, 0xFF, 0xFE}, "16711679"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_STREQ(Texts(Record({'X', 0, 0, 0}, 0, 0, 0, 0, 0, bytes)).serialNumber, text);
    }
}

TEST(IdentityTexts, DeviceTypeIsWindows1251Text) {
    // "ВМ-Ё" in Windows-1251.
    const auto t = Texts(Record({0xC2, 0xCC, '-', 0xA8}, 0, 0, 0, 0, 0, {0, 0, 0}));
    EXPECT_STREQ(t.deviceType, "ВМ-Ё");
}

TEST(BackupName, JoinsTheFieldsAndMakesAFileName) {
    char name[4096];
    ProposedBackupName("VX40", "12345", BackupKind::Calibration, name, sizeof name);
    EXPECT_STREQ(name, "VX40_12345_CLB.vx4");
    ProposedBackupName("VX40", "не задан", BackupKind::Configuration, name, sizeof name);
    EXPECT_STREQ(name, "VX40_не задан_CFG.vx4");
    ProposedBackupName("", "", BackupKind::Configuration, name, sizeof name);
    EXPECT_STREQ(name, "__CFG.vx4");
    // Characters that cannot stand in a file name become "_"; a device type
    // of "../" cannot lead the file out of its folder.
    ProposedBackupName("A/B:", "1\t2", BackupKind::Calibration, name, sizeof name);
    EXPECT_STREQ(name, "A_B__1_2_CLB.vx4");
    ProposedBackupName("..\\", "*?\"<>|", BackupKind::Calibration, name, sizeof name);
    EXPECT_STREQ(name, ".._________CLB.vx4");
    // A small buffer is never overrun.
    char small[8];
    ProposedBackupName("VX40", "12345", BackupKind::Calibration, small, sizeof small);
    EXPECT_STREQ(small, "VX40_12");
}

}  // namespace
