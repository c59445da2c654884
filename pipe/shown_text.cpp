#include "pipe/shown_text.h"

namespace {

constexpr WCHAR ReplacementCharacter = 0xFFFD;

// Whether a code unit could end a console line, or act on the terminal, for some reader of
// the output: the C0 controls, DEL, the C1 controls (U+0085 ends a line for many readers,
// U+009B starts a terminal control sequence), and the line and paragraph separators.
bool CanBreakALine(WCHAR unit) {
    return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == 0x2028 || unit == 0x2029;
}

} // namespace

void ShowSafely(const WCHAR *text, DWORD bytes, WCHAR *shown) {
    DWORD units = bytes / sizeof(WCHAR);
    DWORD i = 0;
    for (; i < units && text[i] != 0; ++i) {
        WCHAR unit = text[i];
        shown[i] = CanBreakALine(unit) ? ReplacementCharacter : unit;
    }
    shown[i] = 0;
}
