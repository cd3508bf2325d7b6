// C entry points through which tools read what the default simulated Larkspur received.
#include "sim/larkspur/device.h"

#include <cstdint>
#include <cstring>

// Copies up to `size` bytes of the received audio (interleaved 8-byte frames, DSD words in the host's
// byte order) into `out`; returns the full size of the record in bytes.
extern "C" size_t LkSimReceivedAudio(void* out, size_t size) {
    const std::vector<BYTE> audio = sim::larkspur::DefaultDevice()->Audio();
    if (out && size > 0)
        std::memcpy(out, audio.data(), size < audio.size() ? size : audio.size());
    return audio.size();
}

// Copies up to `count` of the vendor mode codes received, in order; returns how many there are.
extern "C" size_t LkSimReceivedModes(uint32_t* out, size_t count) {
    const std::vector<ULONG> modes = sim::larkspur::DefaultDevice()->ModeCodes();
    for (size_t i = 0; out && i < count && i < modes.size(); ++i)
        out[i] = modes[i];
    return modes.size();
}

// Forgets what the device received so far.
extern "C" void LkSimClearRecord() {
    sim::larkspur::DefaultDevice()->ClearRecord();
}
