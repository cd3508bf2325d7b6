// The filter that the default machine's Larkspur opens.
#include "sim/setupapi.h"

namespace sim {

std::shared_ptr<IoTarget> DefaultLarkspurFilter() {
    return nullptr;
}

} // namespace sim
