#include "tools/lkplay/device_tap.h"

#include <cstring>

namespace lkplay {

bool DeviceTap::Bind(const lktool::DriverLibrary& library) {
    m_audio = reinterpret_cast<AudioFn>(library.Symbol("LkSimReceivedAudio"));
    m_modes = reinterpret_cast<ModesFn>(library.Symbol("LkSimReceivedModes"));
    m_clear = reinterpret_cast<ClearFn>(library.Symbol("LkSimClearRecord"));
    return available();
}

void DeviceTap::Clear() {
    if (m_clear)
        m_clear();
}

bool DeviceTap::Read(Reception* reception, std::string* error) const {
    if (!available()) {
        *error = "the driver library has no simulated device to read back from";
        return false;
    }
    // The record only grows, so a second call with the first size gets at least that much.
    const size_t bytes = m_audio(nullptr, 0);
    if (bytes % sizeof(Frame) != 0) {
        *error = "the simulated device recorded " + std::to_string(bytes) + " bytes, not whole frames";
        return false;
    }
    reception->frames.resize(bytes / sizeof(Frame));
    m_audio(reception->frames.data(), bytes);
    const size_t count = m_modes(nullptr, 0);
    reception->modes.resize(count);
    m_modes(reception->modes.data(), count);
    return true;
}

} // namespace lkplay
