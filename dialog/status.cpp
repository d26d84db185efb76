#include "dialog/status.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "dialog/control_ids.h"

void FormatPercent(char (&buffer)[16], int total, int done) {
    // Counts stay far below the point where done * 100 overflows; the
    // widening only keeps a careless caller from undefined behaviour.
    long long percent = total == 0 ? 0 : static_cast<long long>(done) * 100 / total;
    if (percent > 100) percent = 100;
    std::snprintf(buffer, sizeof buffer, "%02lld%%", percent);
}

void ShowStatus(Dialog& dialog, const char* text, int total, int done) {
    dialog.SetItemText(kIdStatusText, text);
    char percent[16];
    FormatPercent(percent, total, done);
    dialog.SetItemText(kIdStatusPercent, percent);
}

ResultCode ShowError(Dialog& dialog, ResultCode code) {
    char text[256] = {};
    // Success and positive codes (file dialog errors) have no entry: the box
    // then shows an empty text.
    const int id = MessageIdOf(code);
    if (id != 0) dialog.LoadMessage(id, text, sizeof text);
    dialog.ShowMessageBox(text, kErrorCaption, kErrorBoxStyle);
    return code;
}
