// The dialog as the terminal front-end has it: the fields live in memory,
// filled from the command line before a command runs and read back after
// it; the status fields go to the status line on stderr; the Save As
// question is answered by -o and --force instead of a window.
#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

#include "dialog/dialog.h"

class StatusOutput;

// How the Save As question is answered.
struct SaveAnswer {
    std::string path;    // a file, or a folder for the proposed name; empty: here
    bool force = false;  // replace a file that exists
};

// The extended error of a refused Save As question: the target exists and
// --force was not given (ERROR_FILE_EXISTS, "The file exists.").
inline constexpr std::uint32_t kTargetExistsError = 80;

class TerminalDialog : public Dialog {
  public:
    TerminalDialog(StatusOutput& status, SaveAnswer answer);

    void SetField(int id, std::string text);
    std::string Field(int id) const;
    // True while the identity fields hold a completed identification.
    bool Identified() const;
    // The identity fields as they stand, in the order of kIdentityFields.
    std::array<std::string, 5> IdentityFields() const;
    // The identity fields of every identification completed, in order, each
    // in the order of Outcome::identity: a write identifies the device
    // before and after it, and the fields keep only the second.
    const std::vector<std::array<std::string, 5>>& Identifications() const {
        return identifications_;
    }
    // The path of a Save As question refused because the file exists; empty
    // when none was.
    const std::string& RefusedTarget() const { return refusedTarget_; }

    int GetItemText(int id, char* buffer, int size) override;
    std::uint32_t GetItemUnsigned(int id, bool& ok) override;
    void SetItemText(int id, const char* text) override;
    void EnableItem(int id, bool enable) override;
    void ShowMessageBox(const char* text, const char* caption, unsigned style) override;
    bool AskSavePath(char* nameBuffer, std::size_t size, const char* initialDir,
                     std::uint32_t& extendedError) override;
    bool AskOpenPath(char* nameBuffer, std::size_t size, const char* initialDir,
                     std::uint32_t& extendedError) override;
    bool ProgramDirectory(char* buffer, std::size_t size) override;
    void PostCommand(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;

  private:
    StatusOutput& status_;
    SaveAnswer answer_;
    std::map<int, std::string> fields_;
    std::string refusedTarget_;
    std::vector<std::array<std::string, 5>> identifications_;
};

// True when the -o answer leaves the file name to the proposed one: empty,
// or a folder.
bool NamesFolder(const std::string& answer);

// The file a backup goes to: `answer` (a file, or a folder for the
// proposed name), or the proposed name in the current folder.
std::string BackupTarget(const std::string& answer, const std::string& proposedName);
