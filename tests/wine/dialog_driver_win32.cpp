// Drives VX40_AppLoader's dialog from outside, for tests/wine/dialog_xvfb.sh:
// finds the window by its caption, reads and sets controls, presses buttons
// and keys, reads and dismisses the message boxes the dialog owns, and reads
// dialog template 102 back from the program file.
//
// Usage: vx40_dialog_driver COMMAND [ARGS...] [+ COMMAND [ARGS...]]...
//
// Besides the commands on the dialog's own controls, "wait-text ID MS TEXT"
// waits for a control to show a text (the status line at the end of a
// command), "save-as MS PATH" (or "open-file MS PATH") answers the file
// dialog of a backup (or of Find file) with PATH, and "cancel-file MS" cancels
// one; each first prints the folder the file dialog shows.
//
// Several commands may share one run, separated by "+", since starting a
// Windows process under Wine costs more than the commands themselves. Every
// command prints what it found on stdout as UTF-8 lines that start with a
// keyword; the first command that fails prints "error: ..." and ends the run
// with exit code 1.
//
// Positions are printed in dialog units, converted back from pixels with the
// base units of a hidden dialog of our own built with the template's font.
// A unit value that does not map back to the same pixel exactly carries a
// "~", so a control that is off by a pixel cannot pass as being in place.
#include <windows.h>

#include <dlgs.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kDialogCaption[] = L"VX40_AppLoader";
constexpr int kTemplateId = 102;
constexpr UINT kSendTimeoutMs = 5000;
constexpr DWORD kPollMs = 50;

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                        nullptr, nullptr);
    return result;
}

// Texts go out on one line each; a line break inside one is shown escaped.
std::string OneLine(const std::wstring& text) {
    std::string result;
    for (const char c : Utf8(text)) {
        if (c == '\n') {
            result += "\\n";
        } else if (c == '\r') {
            result += "\\r";
        } else {
            result += c;
        }
    }
    return result;
}

void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

bool Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
bool Fail(const char* format, ...) {
    std::printf("error: ");
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
    return false;
}

// Polls until `done` holds or the time is up; true when it held.
bool WaitUntil(DWORD timeoutMs, const std::function<bool()>& done) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(kPollMs);
    }
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 255);
    return name;
}

// The text through WM_GETTEXT, which the system carries across processes;
// GetWindowTextW would give only the caption the system keeps, which an
// edit control does not update.
std::wstring TextOf(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             &length)) {
        return {};
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied)) {
        return {};
    }
    text.resize(copied < length ? copied : length);
    return text;
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
    return static_cast<LRESULT>(result);
}

int ControlId(HWND control) {
    // Controls without an identifier carry 0xFFFF (or -1) in their id.
    return static_cast<short>(GetDlgCtrlID(control) & 0xFFFF);
}

// Top-level dialog windows: the main dialog by its caption (and no owner),
// or any dialog-class window owned by the given window (a message box).
struct TopLevelSearch {
    HWND owner = nullptr;
    HWND found = nullptr;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<TopLevelSearch*>(parameter);
    if (!IsWindowVisible(window) || ClassOf(window) != kDialogClass) return TRUE;
    const HWND owner = GetWindow(window, GW_OWNER);
    if (search->owner == nullptr) {
        wchar_t caption[64] = {};
        GetWindowTextW(window, caption, 63);
        if (owner != nullptr || std::wcscmp(caption, kDialogCaption) != 0) return TRUE;
    } else if (owner != search->owner) {
        return TRUE;
    }
    search->found = window;
    return FALSE;
}

HWND FindDialog() {
    TopLevelSearch search;
    EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FindOwnedBox(HWND dialog) {
    TopLevelSearch search;
    search.owner = dialog;
    EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The font of a dialog template, enough to build a dialog with the same base
// units.
struct TemplateFont {
    bool present = false;
    WORD points = 0;
    WORD weight = 0;
    BYTE italic = 0;
    BYTE charset = 0;
    std::wstring face;
};

INT_PTR CALLBACK NothingDialogProc(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

// A hidden, empty dialog with the given font: it has the base units and the
// font of a dialog made from the same template.
HWND MakeFontDialog(const TemplateFont& font) {
    std::vector<WORD> data;
    const auto dword = [&data](DWORD value) {
        data.push_back(LOWORD(value));
        data.push_back(HIWORD(value));
    };
    data.push_back(1);       // dlgVer
    data.push_back(0xFFFF);  // signature of the extended template
    dword(0);                // help id
    dword(0);                // extended style
    dword(static_cast<DWORD>(WS_POPUP | DS_SETFONT));
    for (int i = 0; i < 5; ++i)
        data.push_back(0);  // no items; x, y, cx, cy
    for (int i = 0; i < 3; ++i)
        data.push_back(0);  // no menu, class or title
    data.push_back(font.points);
    data.push_back(font.weight);
    data.push_back(static_cast<WORD>(font.italic | (font.charset << 8)));
    for (const wchar_t c : font.face)
        data.push_back(static_cast<WORD>(c));
    data.push_back(0);
    return CreateDialogIndirectParamW(GetModuleHandleW(nullptr),
                                      reinterpret_cast<LPCDLGTEMPLATEW>(data.data()), nullptr,
                                      NothingDialogProc, 0);
}

// Reads a resource's bytes in order, and notices reading past its end.
class TemplateReader {
  public:
    TemplateReader(const BYTE* data, std::size_t size) : data_(data), size_(size) {}

    bool Overrun() const { return overrun_; }
    std::size_t Position() const { return position_; }

    WORD Word() {
        if (position_ + 2 > size_) {
            overrun_ = true;
            return 0;
        }
        WORD value = 0;
        std::memcpy(&value, data_ + position_, 2);
        position_ += 2;
        return value;
    }
    DWORD Dword() {
        const WORD low = Word();
        return static_cast<DWORD>(low) | (static_cast<DWORD>(Word()) << 16);
    }
    short Short() { return static_cast<short>(Word()); }
    std::wstring String() {
        std::wstring text;
        for (WORD c = Word(); c != 0 && !overrun_; c = Word())
            text += static_cast<wchar_t>(c);
        return text;
    }
    // A name or an ordinal: empty, "#N" for an ordinal, or the text.
    std::wstring NameOrOrdinal() {
        const WORD first = Word();
        if (first == 0) return {};
        if (first == 0xFFFF) return L"#" + std::to_wstring(Word());
        position_ -= 2;
        return String();
    }
    void Skip(std::size_t count) {
        position_ += count;
        if (position_ > size_) overrun_ = true;
    }
    void AlignDword() { position_ = (position_ + 3) & ~static_cast<std::size_t>(3); }

  private:
    const BYTE* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    bool overrun_ = false;
};

std::wstring PredefinedClass(const std::wstring& name) {
    static const wchar_t* const kNames[] = {L"Button",  L"Edit",      L"Static",
                                            L"ListBox", L"ScrollBar", L"ComboBox"};
    for (int i = 0; i < 6; ++i) {
        if (name == L"#" + std::to_wstring(0x80 + i)) return kNames[i];
    }
    return name;
}

enum class BoxWanted { kDismiss, kLeave, kNone };

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR parameter) {
    reinterpret_cast<std::vector<WORD>*>(parameter)->push_back(language);
    return TRUE;
}

class Driver {
  public:
    Driver() = default;
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;
    ~Driver() {
        if (fontDialog_ != nullptr) DestroyWindow(fontDialog_);
    }

    bool Run(const std::vector<std::wstring>& words) {
        const std::wstring& name = words[0];
        const auto argument = [&words](std::size_t index) {
            return index < words.size() ? words[index] : std::wstring();
        };
        const auto number = [&argument](std::size_t index) {
            return static_cast<int>(std::wcstol(argument(index).c_str(), nullptr, 0));
        };
        const auto timeout = [&number](std::size_t index) {
            const int value = number(index);
            return static_cast<DWORD>(value > 0 ? value : 0);
        };

        if (name == L"wait-window") return WaitWindow(timeout(1));
        if (name == L"wait-gone") return WaitGone(timeout(1));
        if (name == L"template") return Template(argument(1));
        if (name == L"sleep") {
            Sleep(timeout(1));
            return true;
        }
        if (name == L"wait-box") return WaitBox(timeout(1), BoxWanted::kDismiss);
        if (name == L"peek-box") return WaitBox(timeout(1), BoxWanted::kLeave);
        if (name == L"no-box") return WaitBox(timeout(1), BoxWanted::kNone);
        if (name == L"save-as" || name == L"open-file") {
            const std::wstring path = argument(2);
            return AnswerFileDialog(timeout(1), &path);
        }
        if (name == L"cancel-file") return AnswerFileDialog(timeout(1), nullptr);
        if (dialog_ == nullptr) dialog_ = FindDialog();
        if (dialog_ == nullptr)
            return Fail("no dialog window \"%s\"", Utf8(kDialogCaption).c_str());
        if (name == L"dump") return Dump();
        if (name == L"rects") return Rects();
        if (name == L"focus") return Focus();
        if (name == L"escape") return Escape();
        if (name == L"close") return PostMessageW(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE;

        // The rest name a control.
        const int id = number(1);
        const HWND control = GetDlgItem(dialog_, id);
        if (control == nullptr) return Fail("no control %d", id);
        if (name == L"text") {
            Print("text %d %s\n", id, OneLine(TextOf(control)).c_str());
            return true;
        }
        if (name == L"set-text") {
            const std::wstring text = argument(2);
            return Send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())) != 0 ||
                   Fail("control %d refused its text", id);
        }
        if (name == L"type") return Type(control, argument(2));
        if (name == L"limit") {
            Print("limit %d %lld\n", id,
                  static_cast<long long>(Send(control, EM_GETLIMITTEXT, 0, 0)));
            return true;
        }
        if (name == L"combo") return Combo(id, control);
        if (name == L"click") {
            // Posted, as a mouse click would queue it: a program that shows a
            // box from its window procedure keeps the press from returning.
            return PostMessageW(control, BM_CLICK, 0, 0) != FALSE || Fail("cannot press %d", id);
        }
        if (name == L"enabled") {
            Print("enabled %d %d\n", id, IsWindowEnabled(control) ? 1 : 0);
            return true;
        }
        if (name == L"wait-text") return WaitText(id, control, timeout(2), argument(3));
        if (name == L"wait-enabled") {
            const bool wanted = number(2) != 0;
            if (!WaitUntil(timeout(3),
                           [&] { return (IsWindowEnabled(control) != FALSE) == wanted; })) {
                return Fail("control %d did not become %s", id, wanted ? "enabled" : "disabled");
            }
            Print("enabled %d %d\n", id, wanted ? 1 : 0);
            return true;
        }
        return Fail("unknown command %s", Utf8(name).c_str());
    }

  private:
    bool WaitWindow(DWORD timeoutMs) {
        if (!WaitUntil(timeoutMs, [this] { return (dialog_ = FindDialog()) != nullptr; })) {
            return Fail("no dialog window \"%s\" within %lu ms", Utf8(kDialogCaption).c_str(),
                        timeoutMs);
        }
        DWORD process = 0;
        GetWindowThreadProcessId(dialog_, &process);
        Print("window %lu\n", process);
        return true;
    }

    bool WaitGone(DWORD timeoutMs) {
        if (!WaitUntil(timeoutMs, [] { return FindDialog() == nullptr; })) {
            return Fail("the dialog window is still there after %lu ms", timeoutMs);
        }
        dialog_ = nullptr;
        Print("gone\n");
        return true;
    }

    // Prints the dialog template: the header, the font, and one line per item
    // in template order. Keeps the font for the unit conversion of "dump".
    bool Template(const std::wstring& path) {
        const HMODULE module = LoadLibraryExW(
            path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        if (module == nullptr)
            return Fail("cannot load %s (%lu)", Utf8(path).c_str(), GetLastError());
        const bool ok = ReadTemplate(module);
        FreeLibrary(module);
        return ok;
    }

    bool ReadTemplate(HMODULE module) {
        std::vector<WORD> languages;
        EnumResourceLanguagesW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(kTemplateId),
                               CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
        std::string list;
        for (const WORD language : languages) {
            list += ' ';
            list += std::to_string(language);
        }
        Print("languages%s\n", list.c_str());
        if (languages.empty()) return Fail("no dialog template %d", kTemplateId);

        const HRSRC resource = FindResourceExW(module, MAKEINTRESOURCEW(5),
                                               MAKEINTRESOURCEW(kTemplateId), languages[0]);
        const HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
        const auto* bytes =
            static_cast<const BYTE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
        if (bytes == nullptr) return Fail("cannot load dialog template %d", kTemplateId);
        TemplateReader reader(bytes, SizeofResource(module, resource));

        const WORD first = reader.Word();
        const bool extended = first == 1 && reader.Word() == 0xFFFF;
        DWORD style = 0;
        DWORD exStyle = 0;
        if (extended) {
            reader.Dword();  // help id
            exStyle = reader.Dword();
            style = reader.Dword();
        } else {
            reader = TemplateReader(bytes, SizeofResource(module, resource));
            style = reader.Dword();
            exStyle = reader.Dword();
        }
        const int count = reader.Word();
        const int x = reader.Short();
        const int y = reader.Short();
        const int cx = reader.Short();
        const int cy = reader.Short();
        Print("template %s 0x%08lx 0x%08lx %d %d %d %d %d\n", extended ? "ex" : "plain", style,
              exStyle, x, y, cx, cy, count);
        Print("menu %s\n", Utf8(reader.NameOrOrdinal()).c_str());
        Print("class %s\n", Utf8(reader.NameOrOrdinal()).c_str());
        Print("caption %s\n", OneLine(reader.String()).c_str());
        font_ = TemplateFont{};
        if (style & (DS_SETFONT | DS_SHELLFONT)) {
            font_.present = true;
            font_.points = reader.Word();
            if (extended) {
                font_.weight = reader.Word();
                const WORD italicAndCharset = reader.Word();
                font_.italic = LOBYTE(italicAndCharset);
                font_.charset = HIBYTE(italicAndCharset);
            }
            font_.face = reader.String();
            Print("font %u %u %u %u %s\n", font_.points, font_.weight, font_.italic, font_.charset,
                  Utf8(font_.face).c_str());
        }

        for (int index = 1; index <= count && !reader.Overrun(); ++index) {
            reader.AlignDword();
            DWORD itemStyle = 0;
            DWORD itemExStyle = 0;
            if (extended) {
                reader.Dword();  // help id
                itemExStyle = reader.Dword();
                itemStyle = reader.Dword();
            } else {
                itemStyle = reader.Dword();
                itemExStyle = reader.Dword();
            }
            const int ix = reader.Short();
            const int iy = reader.Short();
            const int icx = reader.Short();
            const int icy = reader.Short();
            const int id = extended ? static_cast<int>(reader.Dword()) : reader.Short();
            const std::wstring itemClass = PredefinedClass(reader.NameOrOrdinal());
            const std::wstring text = reader.NameOrOrdinal();
            reader.Skip(reader.Word());  // creation data
            Print("item %d %d %s 0x%08lx 0x%08lx %d %d %d %d %s\n", index, id,
                  Utf8(itemClass).c_str(), itemStyle, itemExStyle, ix, iy, icx, icy,
                  OneLine(text).c_str());
        }
        if (reader.Overrun()) return Fail("dialog template %d ends early", kTemplateId);
        // MapDialogRect of (4, 8) gives the base units exactly, as the dialog
        // manager sizes every control with them.
        if (fontDialog_ != nullptr) DestroyWindow(fontDialog_);
        fontDialog_ = MakeFontDialog(font_);
        RECT units{4, 8, 4, 8};
        if (fontDialog_ == nullptr || !MapDialogRect(fontDialog_, &units) || units.left <= 0 ||
            units.top <= 0) {
            return Fail("cannot build a dialog with the template's font");
        }
        baseX_ = units.left;
        baseY_ = units.top;
        Print("base-units %d %d\n", baseX_, baseY_);
        return true;
    }

    // Pixels back to dialog units, with "~" when they do not map back exactly.
    std::string Units(int pixels, int base, int per) const {
        const int units = MulDiv(pixels, per, base);
        std::string text = std::to_string(units);
        if (MulDiv(units, base, per) != pixels) text += "~";
        return text;
    }

    std::string UnitRect(int x, int y, int width, int height) const {
        return Units(x, baseX_, 4) + " " + Units(y, baseY_, 8) + " " + Units(width, baseX_, 4) +
               " " + Units(height, baseY_, 8);
    }

    // One line per child window of the dialog, in the order the system keeps
    // them (the tab order), with positions relative to the client area.
    bool Dump() {
        if (baseX_ == 0) return Fail("dump needs the template read first");
        RECT client{};
        GetClientRect(dialog_, &client);
        Print("dialog 0x%08lx 0x%08lx %s %s\n",
              static_cast<unsigned long>(GetWindowLongW(dialog_, GWL_STYLE)),
              static_cast<unsigned long>(GetWindowLongW(dialog_, GWL_EXSTYLE)),
              UnitRect(0, 0, client.right, client.bottom).c_str(),
              OneLine(TextOf(dialog_)).c_str());
        int index = 0;
        for (HWND child = GetWindow(dialog_, GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
            RECT rect{};
            GetWindowRect(child, &rect);
            MapWindowPoints(nullptr, dialog_, reinterpret_cast<POINT*>(&rect), 2);
            int height = rect.bottom - rect.top;
            const std::wstring className = ClassOf(child);
            if (className == L"ComboBox") {
                // The template's height includes the dropped-down list.
                RECT dropped{};
                if (Send(child, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped))) {
                    height = dropped.bottom - dropped.top;
                }
            }
            ++index;
            Print("control %d %d %s 0x%08lx 0x%08lx %s %d %d %s\n", index, ControlId(child),
                  Utf8(className).c_str(),
                  static_cast<unsigned long>(GetWindowLongW(child, GWL_STYLE)),
                  static_cast<unsigned long>(GetWindowLongW(child, GWL_EXSTYLE)),
                  UnitRect(rect.left, rect.top, rect.right - rect.left, height).c_str(),
                  IsWindowVisible(child) ? 1 : 0, IsWindowEnabled(child) ? 1 : 0,
                  OneLine(TextOf(child)).c_str());
            const LONG type = GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK;
            if (className == L"Static" && type == SS_ICON) {
                Print("icon %d %d\n", index, Send(child, STM_GETICON, 0, 0) != 0 ? 1 : 0);
            } else if (className == L"Static" && type <= SS_RIGHT) {
                ReportOverflow(index, child);
            }
        }
        return true;
    }

    // A text label narrower than its text wraps, and its second line is cut
    // off when the label is one line high: "overflow" names such a label.
    void ReportOverflow(int index, HWND label) {
        const std::wstring text = TextOf(label);
        if (text.empty()) return;
        const HDC dc = GetDC(fontDialog_);
        const HGDIOBJ old = SelectObject(
            dc, reinterpret_cast<HGDIOBJ>(SendMessageW(fontDialog_, WM_GETFONT, 0, 0)));
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        SelectObject(dc, old);
        ReleaseDC(fontDialog_, dc);
        RECT client{};
        GetClientRect(label, &client);
        if (size.cx > client.right) {
            Print("overflow %d %d %ld %ld %s\n", index, ControlId(label), size.cx, client.right,
                  OneLine(text).c_str());
        }
    }

    bool Rects() {
        RECT window{};
        RECT desktop{};
        GetWindowRect(dialog_, &window);
        GetWindowRect(GetDesktopWindow(), &desktop);
        Print("window %ld %ld %ld %ld\n", window.left, window.top, window.right, window.bottom);
        Print("desktop %ld %ld %ld %ld\n", desktop.left, desktop.top, desktop.right,
              desktop.bottom);
        return true;
    }

    // The control of the dialog that holds the keyboard focus (the combo box
    // for its edit field).
    HWND FocusControl() {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog_, nullptr), &info)) return nullptr;
        HWND control = info.hwndFocus;
        while (control != nullptr && GetParent(control) != dialog_)
            control = GetParent(control);
        return control;
    }

    bool Focus() {
        const HWND control = FocusControl();
        if (control == nullptr) return Fail("no control has the focus");
        Print("focus %d\n", ControlId(control));
        return true;
    }

    // Escape through the dialog's own message loop, where the dialog manager
    // turns it into the command IDCANCEL, as for a key press.
    bool Escape() {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(GetWindowThreadProcessId(dialog_, nullptr), &info);
        const HWND target = info.hwndFocus != nullptr ? info.hwndFocus : dialog_;
        return PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001) &&
               PostMessageW(target, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001));
    }

    // Replaces the whole text as typing would: every character goes through
    // the control's own filtering and limit. In a combo box the keys reach
    // its edit field, which holds the focus there and decides what fits.
    bool Type(HWND control, const std::wstring& text) {
        if (ClassOf(control) == L"ComboBox") {
            control = FindWindowExW(control, nullptr, L"Edit", nullptr);
            if (control == nullptr) return Fail("the combo box has no edit field");
        }
        Send(control, EM_SETSEL, 0, -1);
        for (const wchar_t c : text)
            Send(control, WM_CHAR, static_cast<WPARAM>(c), 1);
        return true;
    }

    bool Combo(int id, HWND control) {
        const auto count = static_cast<int>(Send(control, CB_GETCOUNT, 0, 0));
        const auto selected = static_cast<int>(Send(control, CB_GETCURSEL, 0, 0));
        Print("combo %d %d %d %s\n", id, count, selected, OneLine(TextOf(control)).c_str());
        for (int i = 0; i < count; ++i) {
            const auto length = Send(control, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
            std::wstring item(length > 0 ? static_cast<std::size_t>(length) + 1 : 1, L'\0');
            if (length > 0) {
                Send(control, CB_GETLBTEXT, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(item.data()));
            }
            item.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
            Print("combo-item %d %s\n", i, OneLine(item).c_str());
        }
        return true;
    }

    // Waits until the control shows `wanted` and prints the text it last
    // showed, reached or not: a status line that stopped elsewhere says why.
    // A message box of the dialog ends the wait at once, as a failure that
    // prints the box's text and leaves the box for wait-box.
    bool WaitText(int id, HWND control, DWORD timeoutMs, const std::wstring& wanted) {
        std::wstring text;
        HWND box = nullptr;
        const bool reached = WaitUntil(timeoutMs, [&] {
            box = FindOwnedBox(dialog_);
            return (text = TextOf(control)) == wanted || box != nullptr;
        });
        Print("text %d %s\n", id, OneLine(text).c_str());
        if (text == wanted) return true;
        if (reached) {
            return Fail("a message box instead of \"%s\": %s", OneLine(wanted).c_str(),
                        OneLine(TextOf(GetDlgItem(box, 0xFFFF))).c_str());
        }
        return Fail("control %d did not show \"%s\" within %lu ms", id, OneLine(wanted).c_str(),
                    timeoutMs);
    }

    // The name field of a file dialog: a combo box in the Explorer-style
    // dialogs of current systems, a plain edit field in older ones.
    static HWND FileNameField(HWND box) {
        const HWND combo = GetDlgItem(box, cmb13);
        return combo != nullptr ? combo : GetDlgItem(box, edt1);
    }

    // Waits for a file dialog owned by the dialog and prints its caption, the
    // folder it shows (the "Look in" box's text, which a combo box gives
    // across processes) and the name it proposes. Then types `path` over
    // that name and confirms with OK, as an operator would, or with no path
    // presses Cancel; succeeds once the file dialog has closed.
    bool AnswerFileDialog(DWORD timeoutMs, const std::wstring* path) {
        if (dialog_ == nullptr) dialog_ = FindDialog();
        if (dialog_ == nullptr) return Fail("no dialog window to own a file dialog");
        HWND box = nullptr;
        HWND field = nullptr;
        WaitUntil(timeoutMs, [&] {
            box = FindOwnedBox(dialog_);
            field = box != nullptr ? FileNameField(box) : nullptr;
            return field != nullptr;
        });
        if (field == nullptr) return Fail("no file dialog within %lu ms", timeoutMs);
        // The proposed name and the folder are filled in during the dialog's
        // initialisation.
        Sleep(200);
        std::wstring folder;
        WaitUntil(kSendTimeoutMs,
                  [&] { return !(folder = TextOf(GetDlgItem(box, cmb2))).empty(); });
        Print("file-dialog %s\n", OneLine(TextOf(box)).c_str());
        Print("file-folder %s\n", OneLine(folder).c_str());
        Print("file-name %s\n", OneLine(TextOf(field)).c_str());
        int button = IDCANCEL;
        if (path != nullptr) {
            if (!Send(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path->c_str())))
                return Fail("the file dialog's name field refused the name");
            button = IDOK;
        }
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
        if (!WaitUntil(2 * kSendTimeoutMs, [box] { return !IsWindow(box); }))
            return Fail("the file dialog stayed after %s", path != nullptr ? "OK" : "Cancel");
        return true;
    }

    // Waits for a message box owned by the dialog, prints it and, unless told
    // to leave it, presses its OK button. With kNone, success is that none
    // appears in time (one that does is still printed and dismissed).
    bool WaitBox(DWORD timeoutMs, BoxWanted wanted) {
        if (dialog_ == nullptr) dialog_ = FindDialog();
        if (dialog_ == nullptr) return Fail("no dialog window to own a box");
        HWND box = nullptr;
        WaitUntil(timeoutMs, [&] { return (box = FindOwnedBox(dialog_)) != nullptr; });
        if (box == nullptr) {
            if (wanted == BoxWanted::kNone) {
                Print("no-box\n");
                return true;
            }
            return Fail("no message box within %lu ms", timeoutMs);
        }
        // The box fills in its controls during its own initialisation; give it
        // a moment to be complete.
        Sleep(200);
        Print("box-caption %s\n", OneLine(TextOf(box)).c_str());
        HWND textControl = GetDlgItem(box, 0xFFFF);
        int buttons = 0;
        bool icon = false;
        for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
            if (!IsWindowVisible(child)) continue;
            const std::wstring className = ClassOf(child);
            if (className == L"Button") ++buttons;
            if (className != L"Static") continue;
            if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
                icon = icon || Send(child, STM_GETICON, 0, 0) != 0;
            } else if (textControl == nullptr) {
                textControl = child;
            }
        }
        Print("box-text %s\n", textControl != nullptr ? OneLine(TextOf(textControl)).c_str() : "");
        const HWND ok = GetDlgItem(box, IDOK);
        Print("box-buttons %d %s\n", buttons, ok != nullptr && IsWindowVisible(ok) ? "ok" : "-");
        Print("box-icon %d\n", icon ? 1 : 0);
        if (wanted == BoxWanted::kLeave) return true;
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
        if (!WaitUntil(kSendTimeoutMs, [box] { return !IsWindow(box); })) {
            return Fail("the message box stayed after OK");
        }
        return wanted == BoxWanted::kDismiss || Fail("a message box appeared");
    }

    HWND dialog_ = nullptr;
    HWND fontDialog_ = nullptr;
    TemplateFont font_;
    int baseX_ = 0;
    int baseY_ = 0;
};

}  // namespace

int main() {
    _setmode(_fileno(stdout), _O_BINARY);
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 2) {
        std::printf("usage: vx40_dialog_driver COMMAND [ARGS...] [+ COMMAND [ARGS...]]...\n");
        return 2;
    }
    std::vector<std::vector<std::wstring>> commands(1);
    for (int i = 1; i < count; ++i) {
        if (std::wcscmp(arguments[i], L"+") == 0) {
            commands.emplace_back();
        } else {
            commands.back().emplace_back(arguments[i]);
        }
    }
    LocalFree(arguments);
    Driver driver;
    for (const auto& command : commands) {
        if (command.empty()) continue;
        if (!driver.Run(command)) return 1;
    }
    return 0;
}
