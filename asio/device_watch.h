// Looks for the Larkspur among the system's audio device interfaces on a thread of its own, while a
// stream that lost it runs on the host's clock: the render thread never enumerates devices.
#pragma once

#include "platform/platform.h"

#include <atomic>

class DeviceWatch {
public:
    // `quit` is a manual-reset event made before the stream; Stop signals it.
    explicit DeviceWatch(HANDLE quit) : m_quit(quit) {}
    ~DeviceWatch() { Stop(); }
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Starts looking every kDeviceWatchMilliseconds; `gone` when the device is known to have left (it
    // reported itself disconnected). Without a thread there is no watch, and no error.
    void Start(bool gone);
    // The device was seen gone and then back since Start.
    bool Found() const { return m_found.load(); }
    // Ends the watch and waits for its thread.
    void Stop();

private:
    static DWORD WINAPI Watch(LPVOID self);

    HANDLE m_quit;
    HANDLE m_thread = nullptr;
    bool m_gone = false;
    std::atomic<bool> m_found{false};
};

// Whether a Larkspur is among the audio render device interfaces now, and can be opened.
bool LarkspurPresent();
