// What a command leaves for the technician or the calling script: the
// result on stdout (text, or one JSON object with --json) and, for a
// failure, the catalogue text and the system's reason on stderr.
#pragma once

#include <array>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "fleet/identity_json.h"

class StatusOutput;

// The captions of the dialog's identity fields, in the order of
// Outcome::identity.
inline constexpr std::array<const char*, 5> kIdentityCaptions = {
    "Тип устройства :", "Серийный номер :", "BOOT версия (дата):", "APP версия (дата):",
    "Требуемая вер. BOOT:"};

// `text` with control characters (C0, DEL and the C1 range, which terminals
// also obey) as '?': what a device or a file says must not move the cursor,
// restyle the terminal or break a row in two. For terminal text only; JSON
// escapes such characters itself.
std::string Printable(std::string text);

// The identity as `info` prints it: one "caption value" line a field.
void PrintIdentityLines(const std::array<std::string, 5>& identity);

void PrintOutcome(const CliOptions& options, const Outcome& outcome, StatusOutput& status);

// The parts of PrintOutcome, for a caller that gathers the JSON objects of
// several nodes into one: the failure's lines on stderr, the object --json
// prints, and a JSON value printed as one line on stdout.
void PrintFailureLines(const Outcome& outcome, StatusOutput& status);
nlohmann::ordered_json OutcomeJson(const CliOptions& options, const Outcome& outcome);
void PrintJsonLine(const nlohmann::ordered_json& json);

// Rows as columns two spaces apart on stdout, each cell padded to the
// column's widest (in characters, for the Cyrillic texts); the last column
// is not padded.
void PrintColumns(const std::vector<std::vector<std::string>>& rows);
// One such row with the widths given, for rows printed as they come.
void PrintRow(const std::vector<std::string>& row, const std::vector<std::size_t>& widths);
