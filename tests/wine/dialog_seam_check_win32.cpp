// Checks the Win32 dialog seam (app/win32/dialog_win32.h) on a live dialog
// 102 made from the program's own resources: UTF-8 texts in and out through
// the wide calls, cuts on character boundaries, numbers, enabling, the string
// table, the program's folder, posted commands, and the Open and Save As
// dialogs with Cyrillic paths (which also proves the structure size is one
// the system accepts). Needs a display: tests/wine/dialog_seam.sh runs it
// under Xvfb.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/win32/dialog_win32.h"
#include "check_counter.h"
#include "dialog/control_ids.h"
#include "dialog/file_dialogs.h"
#include "platform/wide_text_win32.h"

namespace {

INT_PTR CALLBACK QuietProc(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

// Handles messages for a while; the file dialogs run on another thread and
// send to the owner, which must keep answering.
void Pump(DWORD milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(10);
    } while (GetTickCount64() < end);
}

// A file dialog owned by `owner`, waiting up to 20 s while pumping.
HWND WaitFileDialog(HWND owner) {
    for (int i = 0; i < 200; ++i) {
        HWND candidate = nullptr;
        while ((candidate = FindWindowExW(nullptr, candidate, L"#32770", nullptr)) != nullptr) {
            if (GetWindow(candidate, GW_OWNER) == owner) return candidate;
        }
        Pump(100);
    }
    return nullptr;
}

struct FileQuestion {
    Win32Dialog* dialog = nullptr;
    bool save = false;
    char name[kFileNameBufferSize] = {};
    std::string initialDir;
    bool confirmed = false;
    std::uint32_t extendedError = 0xFFFFFFFF;
};

DWORD WINAPI AskOnThread(void* parameter) {
    auto* question = static_cast<FileQuestion*>(parameter);
    const char* directory = question->initialDir.empty() ? nullptr : question->initialDir.c_str();
    question->confirmed = question->save
                              ? question->dialog->AskSavePath(question->name, sizeof question->name,
                                                              directory, question->extendedError)
                              : question->dialog->AskOpenPath(question->name, sizeof question->name,
                                                              directory, question->extendedError);
    return 0;
}

// Runs a file question on a thread of its own, as the worker does, and
// answers it: with `typed` in the file name field and OK, or Cancel when
// `typed` is null. Returns the text the name field held when it appeared.
std::wstring RunFileQuestion(HWND owner, FileQuestion& question, const wchar_t* typed) {
    HANDLE thread = CreateThread(nullptr, 0, AskOnThread, &question, 0, nullptr);
    std::wstring shown;
    if (thread == nullptr) return shown;
    HWND box = nullptr;
    // A refused structure ends the call at once, without a dialog.
    if (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) box = WaitFileDialog(owner);
    if (box != nullptr) {
        Pump(500);  // let it fill its lists
        // The file name field: a combo box (cmb13) in the Explorer-style
        // dialog, an edit (edt1) in the older one.
        HWND field = GetDlgItem(box, 0x47c);
        if (field == nullptr) field = GetDlgItem(box, 0x480);
        wchar_t text[1024] = {};
        if (field != nullptr) GetWindowTextW(field, text, 1024);
        shown = text;
        if (typed != nullptr && field != nullptr) SetWindowTextW(field, typed);
        PostMessageW(box, WM_COMMAND, typed != nullptr ? IDOK : IDCANCEL, 0);
    }
    for (int i = 0; i < 200 && WaitForSingleObject(thread, 0) != WAIT_OBJECT_0; ++i)
        Pump(100);
    if (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) {
        std::printf("the file dialog did not end\n");
        TerminateThread(thread, 1);
    }
    CloseHandle(thread);
    return shown;
}

void CheckTexts(Win32Dialog& dialog, HWND window) {
    const char* path = "C:\\Модули\\блок №1.vx4";
    dialog.SetItemText(kIdModulePath, path);
    wchar_t wide[64] = {};
    GetDlgItemTextW(window, kIdModulePath, wide, 64);
    Check(std::wcscmp(wide, L"C:\\Модули\\блок №1.vx4") == 0,
          "a UTF-8 text reaches the control as the same characters");
    char text[64] = {};
    const int length = dialog.GetItemText(kIdModulePath, text, sizeof text);
    Check(std::strcmp(text, path) == 0 && length == static_cast<int>(std::strlen(path)),
          "the text comes back as the same UTF-8 with its byte length");

    // "АБВГ" is eight bytes; six bytes of buffer hold five and a terminator,
    // which is two whole letters.
    dialog.SetItemText(kIdStatusText, "АБВГ");
    char cut[6] = {};
    Check(dialog.GetItemText(kIdStatusText, cut, sizeof cut) == 4 && std::strcmp(cut, "АБ") == 0,
          "a text that does not fit is cut between characters");
    char none[8] = "x";
    Check(dialog.GetItemText(4242, none, sizeof none) == 0 && none[0] == '\0',
          "a control that does not exist reads as empty");
    dialog.SetItemText(kIdStatusText, "");
    Check(dialog.GetItemText(kIdStatusText, text, sizeof text) == 0 && text[0] == '\0',
          "an empty control reads as empty");
    Check(dialog.GetItemText(kIdPort, text, sizeof text) == 0,
          "the port field starts empty in the template");
}

void CheckNumbers(Win32Dialog& dialog) {
    bool ok = false;
    dialog.SetItemText(kIdNode, "255");
    Check(dialog.GetItemUnsigned(kIdNode, ok) == 255 && ok, "255 reads as 255");
    dialog.SetItemText(kIdNode, "");
    Check(dialog.GetItemUnsigned(kIdNode, ok) == 0 && !ok, "an empty field is not a number");
    dialog.SetItemText(kIdNode, "4294967296");
    Check(dialog.GetItemUnsigned(kIdNode, ok) == 0 && !ok,
          "a number beyond 32 bits is not a number");
    dialog.SetItemText(kIdNode, "300");
    Check(dialog.GetItemUnsigned(kIdNode, ok) == 300 && ok,
          "a number above 255 reads whole (the operations refuse it)");
}

void CheckEnabling(Win32Dialog& dialog, HWND window) {
    dialog.EnableItem(kIdWriteModule, false);
    Check(!IsWindowEnabled(GetDlgItem(window, kIdWriteModule)), "a button is disabled");
    dialog.EnableItem(kIdWriteModule, true);
    Check(IsWindowEnabled(GetDlgItem(window, kIdWriteModule)) != FALSE, "and enabled again");
}

void CheckMessages(Win32Dialog& dialog) {
    char text[256] = {};
    const int length = dialog.LoadMessage(2019, text, sizeof text);
    Check(std::strcmp(text, "Ошибка открытия файла.") == 0 &&
              length == static_cast<int>(std::strlen(text)),
          "catalogue entry 2019 loads from the string table as UTF-8");
    char small[8] = {};
    Check(dialog.LoadMessage(2019, small, sizeof small) == 6 && std::strcmp(small, "Оши") == 0,
          "a catalogue text is cut between characters");
    char none[16] = "x";
    Check(dialog.LoadMessage(2004, none, sizeof none) == 0 && none[0] == '\0',
          "an identifier without an entry loads nothing");
}

void CheckProgramDirectory(Win32Dialog& dialog) {
    char directory[kFileNameBufferSize] = {};
    Check(dialog.ProgramDirectory(directory, sizeof directory), "the program's folder is known");
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    const std::string full = Utf8Text(module);
    const std::size_t length = std::strlen(directory);
    Check(length > 0 && directory[length - 1] == '\\' && full.compare(0, length, directory) == 0 &&
              full.find('\\', length) == std::string::npos,
          "it is the program's path up to and with its last backslash");
    char tiny[4] = {};
    Check(!dialog.ProgramDirectory(tiny, sizeof tiny), "a buffer too small for it fails");
}

void CheckPostCommand(Win32Dialog& dialog, HWND window) {
    Pump(50);
    dialog.PostCommand(WM_COMMAND, 0x00000002, 0x1234);
    MSG message{};
    const BOOL got = PeekMessageW(&message, window, WM_COMMAND, WM_COMMAND, PM_REMOVE);
    Check(got && message.wParam == 2 && message.lParam == 0x1234,
          "a command is posted to the dialog's queue");
}

void CheckFileDialogs(Win32Dialog& dialog, HWND window) {
    // A module with a Cyrillic name in a Cyrillic folder.
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"Модули проверки";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring module = folder + L"\\блок №1.vx4";
    HANDLE file = CreateFileW(module.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    const std::string folderUtf8 = Utf8Text(folder.c_str());
    const std::string moduleUtf8 = Utf8Text(module.c_str());

    FileQuestion cancelled;
    cancelled.dialog = &dialog;
    RunFileQuestion(window, cancelled, nullptr);
    Check(!cancelled.confirmed && cancelled.extendedError == 0,
          "Open shows a dialog and a cancel reports no error");

    FileQuestion open;
    open.dialog = &dialog;
    open.initialDir = folderUtf8;
    RunFileQuestion(window, open, module.c_str());
    Check(open.confirmed && moduleUtf8 == open.name,
          "Open returns the chosen Cyrillic path as UTF-8");

    FileQuestion save;
    save.dialog = &dialog;
    std::strcpy(save.name, "ТИП_123_CLB.vx4");
    save.save = true;
    save.initialDir = folderUtf8;
    const std::wstring proposed = RunFileQuestion(window, save, (folder + L"\\копия").c_str());
    Check(proposed == L"ТИП_123_CLB.vx4", "Save As starts with the proposed name");
    Check(save.confirmed && Utf8Text((folder + L"\\копия").c_str()) == save.name,
          "Save As returns the typed name without an extension added");

    DeleteFileW(module.c_str());
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

int main() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    HWND window =
        CreateDialogParamW(instance, MAKEINTRESOURCEW(kMainDialogId), nullptr, QuietProc, 0);
    Check(window != nullptr, "dialog 102 is made from the program's resources");
    if (window == nullptr) {
        return FinishChecks();
    }
    Win32Dialog dialog;
    dialog.Attach(window, instance);

    CheckTexts(dialog, window);
    CheckNumbers(dialog);
    CheckEnabling(dialog, window);
    CheckMessages(dialog);
    CheckProgramDirectory(dialog);
    CheckPostCommand(dialog, window);
    CheckFileDialogs(dialog, window);

    DestroyWindow(window);
    return FinishChecks();
}
