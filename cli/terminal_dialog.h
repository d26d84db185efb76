// The dialog as the terminal front-end has it: the fields live in memory,
// filled from the command line before a command runs and read back after
// it; the status fields go to the status line on stderr; the Save As
// question is answered by -o and --force instead of a window.
#pragma once

#include <string>

#include "dialog/field_dialog.h"

class StatusOutput;

// How the Save As question is answered.
struct SaveAnswer {
    std::string path;    // a file, or a folder for the proposed name; empty: here
    bool force = false;  // replace a file that exists
};

// The extended error of a refused Save As question: the target exists and
// --force was not given (ERROR_FILE_EXISTS, "The file exists.").
inline constexpr std::uint32_t kTargetExistsError = 80;

class TerminalDialog : public FieldDialog {
  public:
    TerminalDialog(StatusOutput& status, SaveAnswer answer);

    // The path of a Save As question refused because the file exists; empty
    // when none was.
    const std::string& RefusedTarget() const { return refusedTarget_; }

    void ShowMessageBox(const char* text, const char* caption, unsigned style) override;
    bool AskSavePath(char* nameBuffer, std::size_t size, const char* initialDir,
                     std::uint32_t& extendedError) override;

  protected:
    void StatusChanged(const std::string& text, const std::string& percent) override;

  private:
    StatusOutput& status_;
    SaveAnswer answer_;
    std::string refusedTarget_;
};

// True when the -o answer leaves the file name to the proposed one: empty,
// or a folder.
bool NamesFolder(const std::string& answer);

// The file a backup goes to: `answer` (a file, or a folder for the
// proposed name), or the proposed name in the current folder.
std::string BackupTarget(const std::string& answer, const std::string& proposedName);
