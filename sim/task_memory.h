// COM task memory of the simulated Windows (what StringFromCLSID hands out and CoTaskMemFree takes
// back), counted so tests can find blocks that were never freed.
#pragma once

#include <cstddef>

namespace sim {

size_t TaskMemoryBlocks();

} // namespace sim
