#include "tests/support/host.h"

namespace testing_support {

namespace {
HostRecorder* g_recorder = nullptr;

void BufferSwitch(int32_t, ASIOBool) {}
void RateChanged(ASIOSampleRate rate) {
    ++g_recorder->rateChanges;
    g_recorder->lastRate = rate;
}
int32_t Message(int32_t selector, int32_t value, void*, double*) {
    g_recorder->messages.push_back(selector);
    g_recorder->messageValues.push_back(value);
    return selector == kAsioSupportsTimeInfo ? g_recorder->timeInfoAnswer : 0;
}
ASIOTime* SwitchTimeInfo(ASIOTime* params, int32_t, ASIOBool) {
    return params;
}
} // namespace

HostRecorder::HostRecorder() {
    callbacks = {&BufferSwitch, &RateChanged, &Message, &SwitchTimeInfo};
    g_recorder = this;
}

HostRecorder::~HostRecorder() {
    g_recorder = nullptr;
}

IASIO* CreateDriver() {
    IClassFactory* factory = nullptr;
    if (FAILED(DllGetClassObject(CLSID_ASIOLarkspur, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
        return nullptr;
    IASIO* driver = nullptr;
    HRESULT hr = factory->CreateInstance(nullptr, CLSID_ASIOLarkspur, reinterpret_cast<void**>(&driver));
    factory->Release();
    return SUCCEEDED(hr) ? driver : nullptr;
}

std::string DriverError(IASIO* driver) {
    char text[128] = {};
    driver->getErrorMessage(text);
    return text;
}

bool ChannelActive(IASIO* driver, int32_t channel, bool input) {
    ASIOChannelInfo info{};
    info.channel = channel;
    info.isInput = input ? ASIOTrue : ASIOFalse;
    return driver->getChannelInfo(&info) == ASE_OK && info.isActive == ASIOTrue;
}

} // namespace testing_support
