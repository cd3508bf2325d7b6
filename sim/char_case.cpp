#include "sim/char_case.h"

#include "sim/failure_injection.h"

namespace sim {

WCHAR LowerChar(WCHAR c) {
    if (c >= u'A' && c <= u'Z')
        return static_cast<WCHAR>(c + 0x20);
    if ((c >= 0x00C0 && c <= 0x00DE && c != 0x00D7) || (c >= 0x0410 && c <= 0x042F) ||
        (c >= 0x0391 && c <= 0x03AB && c != 0x03A2))
        return static_cast<WCHAR>(c + 0x20);
    if (c >= 0x0400 && c <= 0x040F)
        return static_cast<WCHAR>(c + 0x50);
    // Latin Extended-A puts each small letter right after its capital; the pairs change parity at
    // U+0139, U+014A and U+0179. U+0130 (capital I with dot) has no small partner in this block.
    if (c >= 0x0100 && c <= 0x0137 && c != 0x0130 && (c & 1) == 0)
        return static_cast<WCHAR>(c + 1);
    if (c >= 0x0139 && c <= 0x0148 && (c & 1) == 1)
        return static_cast<WCHAR>(c + 1);
    if (c >= 0x014A && c <= 0x0177 && (c & 1) == 0)
        return static_cast<WCHAR>(c + 1);
    if (c == 0x0178)
        return 0x00FF;
    if (c >= 0x0179 && c <= 0x017E && (c & 1) == 1)
        return static_cast<WCHAR>(c + 1);
    return c;
}

std::u16string LowerText(std::u16string text) {
    for (WCHAR& c : text)
        c = LowerChar(c);
    return text;
}

bool EqualIgnoringCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerChar(a[i]) != LowerChar(b[i]))
            return false;
    }
    return true;
}

} // namespace sim

// A pointer whose high bits are zero carries one character, as on Windows. A failure leaves the text
// as it was.
LPWSTR WINAPI CharLowerW(LPWSTR text) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(text);
    if (value <= 0xFFFF)
        return reinterpret_cast<LPWSTR>(static_cast<uintptr_t>(sim::LowerChar(static_cast<WCHAR>(value))));
    DWORD error = 0;
    if (sim::TakeFailure(sim::Call::CharLowerW, &error)) {
        SetLastError(error);
        return text;
    }
    for (WCHAR* c = text; *c; ++c)
        *c = sim::LowerChar(*c);
    return text;
}
