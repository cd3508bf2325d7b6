#include "tools/lkplay/device_tap.h"

#include <algorithm>

namespace lkplay {

bool DeviceTap::Bind(const lktool::DriverLibrary& library) {
    m_take = reinterpret_cast<TakeFn>(library.Symbol("LkSimTakeAudio"));
    m_modes = reinterpret_cast<ModesFn>(library.Symbol("LkSimReceivedModes"));
    m_clear = reinterpret_cast<ClearFn>(library.Symbol("LkSimClearRecord"));
    m_attach = reinterpret_cast<AttachFn>(library.Symbol("LkSimAttachTap"));
    return available();
}

void DeviceTap::Attach() {
    if (!available())
        return;
    m_clear();
    m_attach(1);
}

void DeviceTap::Detach() {
    if (available())
        m_attach(0);
}

size_t DeviceTap::Take(Frame* out, size_t max) {
    return available() ? m_take(out, max * sizeof(Frame)) / sizeof(Frame) : 0;
}

std::vector<uint32_t> DeviceTap::Modes() const {
    std::vector<uint32_t> modes;
    if (!available())
        return modes;
    modes.resize(m_modes(nullptr, 0));
    modes.resize(std::min(modes.size(), m_modes(modes.data(), modes.size())));
    return modes;
}

} // namespace lkplay
