// Names of ASIO codes, for tools that print what a driver answered.
#pragma once

#include "platform/asio.h"

namespace lktool {

const char* AsioErrorName(ASIOError error);
const char* SampleTypeName(ASIOSampleType type);

} // namespace lktool
