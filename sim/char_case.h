// Letter case of the simulated Windows: CharLowerW and the case-insensitive names of the registry and
// of loaded modules fold letters the same way.
#pragma once

#include "platform/platform.h"

#include <string>

namespace sim {

// Lower case of one UTF-16 unit: ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic capitals.
WCHAR LowerChar(WCHAR c);
std::u16string LowerText(std::u16string text);
bool EqualIgnoringCase(const std::u16string& a, const std::u16string& b);

} // namespace sim
