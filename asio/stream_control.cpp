// Starting and stopping the stream.
#include "asio/asio_larkspur.h"

// Streaming is not built yet: start finds nothing to play on.
ASIOError ASIOLarkspur::start() {
    return ASE_NotPresent;
}

ASIOError ASIOLarkspur::stop() {
    m_running = false;
    return ASE_OK;
}

ASIOError ASIOLarkspur::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
    if (!sPos || !tStamp)
        return ASE_InvalidParameter;
    *sPos = {0, 0};
    *tStamp = m_periodTimeStamp;
    return ASE_OK;
}
