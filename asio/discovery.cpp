// Binding the driver to the device's render filter.
#include "asio/asio_larkspur.h"

// Device discovery is not built yet: no device is ever found.
ASIOBool ASIOLarkspur::init(void*) {
    return ASIOFalse;
}

void ASIOLarkspur::ReleaseDevice() {}
