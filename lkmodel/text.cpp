// The one text conversion the shared device table needs on Windows (the simulation's own text.cpp
// is written for a 32-bit wchar_t world).
#include "sim/text.h"

namespace sim {

std::u16string ToWide(const std::string& text) {
    std::u16string out;
    for (unsigned char c : text)
        out += static_cast<char16_t>(c);
    return out;
}

} // namespace sim
