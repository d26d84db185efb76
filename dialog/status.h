// The status line and the error box.
#pragma once

#include "dialog/dialog.h"
#include "protocol/result_code.h"

inline constexpr unsigned kErrorBoxStyle = 0x10;  // MB_OK | MB_ICONERROR
inline constexpr const char* kErrorCaption = "Ошибка!";

// Writes `text` into the status line and done * 100 / total (0 when total is
// 0, at most 100) as "%02d%%" into the percentage field, text first.
void ShowStatus(Dialog& dialog, const char* text, int total, int done);

// Shows the catalogue message of `code` in a modal box under "Ошибка!";
// codes without an entry show an empty text. Returns `code` unchanged.
ResultCode ShowError(Dialog& dialog, ResultCode code);

// The percentage text ShowStatus shows, e.g. "05%" or "100%".
void FormatPercent(char (&buffer)[16], int total, int done);
