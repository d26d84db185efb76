// VX40_AppLoader.exe: the entry function and the procedure of dialog 102.
//
// The dialog's own work is small: at initialisation it fills its fields,
// centres itself and starts the worker; afterwards it only hands button
// commands to the worker and carries out Exit (command_worker.h). Everything
// that talks to the device runs on the worker.
#include <windows.h>

#include <commctrl.h>

#include <string>
#include <string_view>

#include "app/command_worker.h"
#include "app/start_up.h"
#include "app/win32/dialog_win32.h"
#include "dialog/command_context.h"
#include "dialog/control_ids.h"
#include "dialog/status.h"
#include "exchange/line_state.h"
#include "operations/dialog_inputs.h"
#include "platform/event.h"
#include "platform/wide_text_win32.h"

namespace {

// Typing limits: the path field takes 1280 characters by hand (text set by
// the program is not limited), the node field three digits.
constexpr WPARAM kPathTypingLimit = 1280;
constexpr WPARAM kNodeTypingLimit = 3;
constexpr const wchar_t* kPortNames[] = {L"COM1", L"COM2", L"COM3", L"COM4", L"COM5",
                                         L"COM6", L"COM7", L"COM8", L"COM9"};
constexpr const wchar_t* kInitialNode = L"255";
// The port box's height in the template, in dialog units, with its list.
constexpr int kPortBoxHeight = 55;

// The program's one set of everything, for the whole run.
HINSTANCE g_instance = nullptr;
bool g_hasTail = false;  // a command-line tail was kept
std::string g_commandLineTail;
Win32Dialog g_dialog;
LineState g_line;
Event g_commandEvent;
CommandContext g_context{g_dialog, g_line, g_commandEvent};
WorkerSession g_session{g_context};

// Moves the dialog to the centre of the desktop, size unchanged, without a
// repaint (the dialog is not shown yet).
void CentreWindow(HWND window) {
    RECT desktop{};
    RECT own{};
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(window, &own);
    const int width = own.right - own.left;
    const int height = own.bottom - own.top;
    const WindowOrigin origin = CentredOrigin(desktop.right, desktop.bottom, width, height);
    MoveWindow(window, origin.x, origin.y, width, height, FALSE);
}

// Icon 128 also for the taskbar button and the task switcher, which would
// otherwise show the system's blank program icon. Shared icons belong to the
// system and are never destroyed.
void SetWindowIcons(HWND window) {
    const struct {
        WPARAM which;
        int width;
        int height;
    } sizes[] = {{ICON_BIG, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON)},
                 {ICON_SMALL, GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON)}};
    for (const auto& size : sizes) {
        HANDLE icon = LoadImageW(g_instance, MAKEINTRESOURCEW(kIconId), IMAGE_ICON, size.width,
                                 size.height, LR_SHARED);
        if (icon != nullptr) {
            SendMessageW(window, WM_SETICON, size.which, reinterpret_cast<LPARAM>(icon));
        }
    }
}

// The port field scrolls as the operator types past its width instead of
// refusing the rest: network names (socket://host:port) are longer than the
// box. An edit box takes ES_AUTOHSCROLL only when it is created, and a combo
// box gives it to its edit box only from its own CBS_AUTOHSCROLL, which the
// template does not have; so the template's combo box is replaced by one
// with that style added, in the same place, tab position and font. Should
// that fail, the template's box stays and serves as before.
void LetPortNamesScroll(HWND window) {
    const HWND original = GetDlgItem(window, kIdPort);
    if (original == nullptr) return;
    // The closed box gives the place; the height a combo box is created with
    // also covers its list, and only the template knows it.
    RECT area{};
    GetWindowRect(original, &area);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&area), 2);
    RECT list{0, 0, 0, kPortBoxHeight};
    MapDialogRect(window, &list);
    // A combo box hands WS_VSCROLL on to its list and drops it from its own
    // style, so it is asked for again.
    const auto style =
        static_cast<DWORD>(GetWindowLongPtrW(original, GWL_STYLE)) | WS_VSCROLL | CBS_AUTOHSCROLL;
    const HWND replacement = CreateWindowExW(
        static_cast<DWORD>(GetWindowLongPtrW(original, GWL_EXSTYLE)), WC_COMBOBOXW, L"", style,
        area.left, area.top, area.right - area.left, list.bottom, window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdPort)), g_instance, nullptr);
    if (replacement == nullptr) return;
    const auto font = static_cast<WPARAM>(SendMessageW(original, WM_GETFONT, 0, 0));
    SendMessageW(replacement, WM_SETFONT, font, FALSE);
    // Next to the original in the z-order, which is the tab order.
    SetWindowPos(replacement, original, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    DestroyWindow(original);
    // The longest name the commands read.
    SendMessageW(replacement, CB_LIMITTEXT, kPortNameLimit, 0);
}

void InitialiseDialog(HWND window) {
    g_dialog.Attach(window, g_instance);
    SetWindowIcons(window);
    LetPortNamesScroll(window);
    for (const wchar_t* name : kPortNames) {
        SendDlgItemMessageW(window, kIdPort, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    SendDlgItemMessageW(window, kIdPort, CB_SETCURSEL, 0, 0);
    SendDlgItemMessageW(window, kIdModulePath, EM_LIMITTEXT, kPathTypingLimit, 0);
    SendDlgItemMessageW(window, kIdNode, EM_LIMITTEXT, kNodeTypingLimit, 0);
    SendDlgItemMessageW(window, kIdNode, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(kInitialNode));
    if (g_hasTail) {
        const std::string path(UnquotedTail(g_commandLineTail));
        g_dialog.SetItemText(kIdModulePath, path.c_str());
    }
    CentreWindow(window);
    if (!StartWorker(g_session)) {
        // The dialog stays usable for Exit only.
        DisableActions(g_dialog);
        ShowError(g_dialog, kErrUnknown);
    }
}

INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            InitialiseDialog(window);
            return TRUE;  // the system gives the focus to the first tab stop
        case WM_COMMAND:
            if (RouteCommand(g_session, {message, wParam, lParam})) EndDialog(window, 0);
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showCommand) {
    g_instance = instance;
    // Started hidden, the program ignores its command line; the show command
    // serves for nothing else, the dialog shows itself by its style.
    if (showCommand != 0 && commandLine != nullptr) {
        g_commandLineTail = Utf8Text(commandLine);
        g_hasTail = true;
    }
    // The manifest asks for version 6 of the common controls; this makes sure
    // the library is loaded before the dialog creates its controls.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    DialogBoxParamW(instance, MAKEINTRESOURCEW(kMainDialogId), nullptr, DialogProc, 0);
    // Whatever the dialog returned, also when it could not be created.
    return 0;
}
