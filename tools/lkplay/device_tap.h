// What the simulated Larkspur received, read through the C entry points that the simulation exports
// from the Linux driver library. A real driver has none: then the tap is unavailable.
#pragma once

#include "tools/common/driver_loader.h"
#include "tools/lkplay/frame.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lkplay {

struct Reception {
    std::vector<Frame> frames;   // interleaved 8-byte frames, DSD words in the host's byte order
    std::vector<uint32_t> modes; // vendor mode codes, in order
};

class DeviceTap {
public:
    using AudioFn = size_t (*)(void* out, size_t size);
    using ModesFn = size_t (*)(uint32_t* out, size_t count);
    using ClearFn = void (*)();

    // False when the library carries no simulated device.
    bool Bind(const lktool::DriverLibrary& library);
    void Bind(AudioFn audio, ModesFn modes, ClearFn clear) {
        m_audio = audio;
        m_modes = modes;
        m_clear = clear;
    }
    bool available() const { return m_audio && m_modes && m_clear; }
    // Forgets what the device received so far.
    void Clear();
    bool Read(Reception* reception, std::string* error) const;

private:
    AudioFn m_audio = nullptr;
    ModesFn m_modes = nullptr;
    ClearFn m_clear = nullptr;
};

// Mode codes the driver sends before a stream.
inline constexpr uint32_t kDeviceModeDsd = 0x8000;
inline constexpr uint32_t kDeviceModePcm = 0x10000;

} // namespace lkplay
