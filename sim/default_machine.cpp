// The filter that the default machine's Larkspur opens: the process-wide simulated device's.
#include "sim/larkspur/device.h"
#include "sim/setupapi.h"

namespace sim {

std::shared_ptr<IoTarget> DefaultLarkspurFilter() {
    return larkspur::DefaultDevice()->OpenFilter();
}

} // namespace sim
