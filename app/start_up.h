// Start-up rules of the dialog program that need no window system: where the
// dialog goes on the desktop, and what of the command line reaches the path
// field. Kept apart from the Win32 code so they are tested on every build.
#pragma once

#include <string_view>

struct WindowOrigin {
    int x = 0;
    int y = 0;
};

// The top-left corner that centres a window of `width` by `height` on a
// desktop whose right and bottom edges are given. The desktop's left and top
// edges do not enter, and the quotient is truncated toward zero, so a window
// larger than the desktop gets a zero or negative corner and is not clipped.
constexpr WindowOrigin CentredOrigin(int desktopRight, int desktopBottom, int width, int height) {
    return {(desktopRight - width) / 2, (desktopBottom - height) / 2};
}

// The command-line tail as the path field gets it. Explorer passes a module
// ("Open with", or a file dropped on the program) as one path in double
// quotes, which no file can be opened by; when the whole tail is one quoted
// string, the quotes go. Anything else, several quoted parts or a quote
// without its partner, is kept as it is.
constexpr std::string_view UnquotedTail(std::string_view tail) {
    if (tail.size() >= 2 && tail.front() == '"' && tail.back() == '"' &&
        tail.find('"', 1) == tail.size() - 1) {
        return tail.substr(1, tail.size() - 2);
    }
    return tail;
}
