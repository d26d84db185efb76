#include "dialog/status.h"

#include <gtest/gtest.h>

#include "dialog/control_ids.h"
#include "operations/dialog_inputs.h"
#include "recording_dialog.h"

namespace {

std::string Percent(int total, int done) {
    char buffer[16];
    FormatPercent(buffer, total, done);
    return buffer;
}

TEST(StatusLine, Percentages) {
    EXPECT_EQ(Percent(0, 5), "00%");
    EXPECT_EQ(Percent(100, 0), "00%");
    EXPECT_EQ(Percent(100, 5), "05%");
    EXPECT_EQ(Percent(6, 5), "83%");
    EXPECT_EQ(Percent(112, 111), "99%");
    EXPECT_EQ(Percent(100, 100), "100%");
    EXPECT_EQ(Percent(3, 7), "100%");
    EXPECT_EQ(Percent(100, -5), "-5%");  // no lower bound
}

TEST(StatusLine, TextIsWrittenBeforeThePercentage) {
    RecordingDialog dialog;
    ShowStatus(dialog, "Запись", 112, 56);
    EXPECT_EQ(dialog.Calls(), (std::vector<std::string>{"set 1017 Запись", "set 1018 50%"}));
}

TEST(ErrorBox, ShowsTheCatalogueTextAndReturnsTheCode) {
    RecordingDialog dialog;
    EXPECT_EQ(ShowError(dialog, kErrAborted), kErrAborted);
    EXPECT_EQ(ShowError(dialog, kErrNoDevice), kErrNoDevice);
    EXPECT_EQ(ShowError(dialog, 12290), 12290);  // a file dialog's own error
    EXPECT_EQ(ShowError(dialog, -2004), -2004);  // no such entry
    EXPECT_EQ(dialog.Boxes(), (std::vector<std::string>{
                                  "box Ошибка! 16 Прервано пользователем.",
                                  "box Ошибка! 16 Устройство Velmo 2.0 не обнаружено.",
                                  "box Ошибка! 16 ",
                                  "box Ошибка! 16 ",
                              }));
}

TEST(DialogInputs, NodeMustBeANumberUpTo255) {
    RecordingDialog dialog;
    std::uint8_t node = 99;
    for (const char* good : {"0", "255", "7"}) {
        dialog.SetField(kIdNode, good);
        EXPECT_EQ(ReadNode(dialog, node), 0) << good;
        EXPECT_EQ(node, static_cast<std::uint8_t>(std::stoi(good)));
    }
    // Each of these would reach some device if it were wrapped or read up to
    // its first non-digit.
    for (const char* bad :
         {"", "256", "300", "abc", "-1", "12a", "x1", " 7", "4294967297", "99999999999"}) {
        dialog.SetField(kIdNode, bad);
        EXPECT_EQ(ReadNode(dialog, node), kErrBadNode) << bad;
    }
}

TEST(DialogInputs, LongPortNamesAreNotCut) {
    RecordingDialog dialog;
    char port[kPortNameLimit + 1];
    for (const char* name : {"/dev/ttyUSB0", "\\\\.\\COM123", "COM3",
                             "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"}) {
        dialog.SetField(kIdPort, name);
        ReadPortName(dialog, port);
        EXPECT_STREQ(port, name);
    }
}

}  // namespace
