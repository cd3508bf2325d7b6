// The inspector's report of one driver object, written for people.
#pragma once

#include "platform/asio.h"

#include <cstdio>

namespace lkinfo {

// Initialises the driver and prints what it tells about itself. Returns the init result.
ASIOBool PrintReport(IASIO* driver, std::FILE* out);

const char* SampleTypeName(ASIOSampleType type);
const char* AsioErrorName(ASIOError error);

} // namespace lkinfo
