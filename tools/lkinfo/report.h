// The inspector's report of one driver object, written for people.
#pragma once

#include "platform/asio.h"

#include <cstdio>
#include <string>

namespace lkinfo {

// Initialises the driver and prints what it tells about itself, and the device's render pins when
// `renderPins` describes them, and where the buffer size and the safety buffers come from when
// `bufferSizeSource` and `safetySource` say (the latter with the number in force first). Returns the
// init result.
ASIOBool PrintReport(IASIO* driver, std::FILE* out, const std::string& renderPins = {},
                     const std::string& bufferSizeSource = {}, const std::string& safetySource = {});

} // namespace lkinfo
