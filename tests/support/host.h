// Creating and driving the driver the way an ASIO host does: DllGetClassObject, the class factory,
// CreateInstance with the class ID as interface ID, then IASIO calls through the interface.
#pragma once

#include "platform/asio.h"

#include <string>

extern "C" HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** object);
extern "C" HRESULT STDMETHODCALLTYPE DllCanUnloadNow();

namespace testing_support {

// Null when any step fails.
IASIO* CreateDriver();

std::string DriverError(IASIO* driver);

// Whether getChannelInfo reports the channel active (a buffer was created for it).
bool ChannelActive(IASIO* driver, int32_t channel, bool input);

// A host's callback record whose calls are recorded; one recorder is active at a time.
struct HostRecorder {
    std::basic_string<int32_t> messages; // asioMessage selectors, in order
    std::basic_string<int32_t> messageValues;
    int32_t timeInfoAnswer = 0;
    int rateChanges = 0;
    double lastRate = 0;
    ASIOCallbacks callbacks{};

    HostRecorder();
    ~HostRecorder();
    HostRecorder(const HostRecorder&) = delete;
    HostRecorder& operator=(const HostRecorder&) = delete;
};

} // namespace testing_support
