// What the simulated Larkspur received, read through the C entry points that the simulation exports
// from the Linux driver library. A real driver has none: then the tap is unavailable. While attached,
// the device keeps what it receives until Take moves it out, so a reader that takes as it goes keeps
// memory flat.
#pragma once

#include "tools/common/driver_loader.h"
#include "tools/lkplay/frame.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lkplay {

class DeviceTap {
public:
    using TakeFn = size_t (*)(void* out, size_t size);
    using ModesFn = size_t (*)(uint32_t* out, size_t count);
    using ClearFn = void (*)();
    using AttachFn = void (*)(int on);

    // False when the library carries no simulated device.
    bool Bind(const lktool::DriverLibrary& library);
    void Bind(TakeFn take, ModesFn modes, ClearFn clear, AttachFn attach) {
        m_take = take;
        m_modes = modes;
        m_clear = clear;
        m_attach = attach;
    }
    bool available() const { return m_take && m_modes && m_clear && m_attach; }
    // Forgets what the device received so far and keeps what it receives from now on.
    void Attach();
    void Detach();
    // Moves up to `max` received frames into `out`; returns how many.
    size_t Take(Frame* out, size_t max);
    // The vendor mode codes received since Attach, in order.
    std::vector<uint32_t> Modes() const;

private:
    TakeFn m_take = nullptr;
    ModesFn m_modes = nullptr;
    ClearFn m_clear = nullptr;
    AttachFn m_attach = nullptr;
};

// Mode codes the driver sends before a stream.
inline constexpr uint32_t kDeviceModeDsd = 0x8000;
inline constexpr uint32_t kDeviceModePcm = 0x10000;

} // namespace lkplay
