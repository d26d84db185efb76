// What a command leaves for the technician or the calling script: the
// result on stdout (text, or one JSON object with --json) and, for a
// failure, the catalogue text and the system's reason on stderr.
#pragma once

#include <array>

#include "cli/commands.h"
#include "cli/options.h"

class StatusOutput;

// The captions of the dialog's identity fields, in the order of
// Outcome::identity.
inline constexpr std::array<const char*, 5> kIdentityCaptions = {
    "Тип устройства :", "Серийный номер :", "BOOT версия (дата):", "APP версия (дата):",
    "Требуемая вер. BOOT:"};

void PrintOutcome(const CliOptions& options, const Outcome& outcome, StatusOutput& status);
