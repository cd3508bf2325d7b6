// Conversions between the platform's 16-bit wide strings and UTF-8, for the simulation and tests.
#pragma once

#include "platform/platform.h"

#include <string>

namespace sim {

std::string ToUtf8(const WCHAR* text);
std::string ToUtf8(const std::u16string& text);
std::u16string ToWide(const std::string& text);

} // namespace sim
