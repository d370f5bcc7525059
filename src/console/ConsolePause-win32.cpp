// Waiting for a key press on a Windows console.
#include <windows.h>

#include "console/ConsolePause.h"

namespace chartseal {

bool ConsolePause::waitForKey()
{
    // A console answers GetConsoleMode; a pipe, a file and the null device
    // do not.
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == INVALID_HANDLE_VALUE || in == nullptr || !::GetConsoleMode(in, &mode)) return false;
    ::FlushConsoleInputBuffer(in);
    for (;;) {
        INPUT_RECORD record{};
        DWORD n = 0;
        if (!::ReadConsoleInputW(in, &record, 1, &n)) return true;
        // A key going down, other than a bare Shift, Ctrl or Alt.
        if (n == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
            const WORD key = record.Event.KeyEvent.wVirtualKeyCode;
            if (key != VK_SHIFT && key != VK_CONTROL && key != VK_MENU) return true;
        }
    }
}

}  // namespace chartseal
