// C entry points through which tools read what the default simulated Larkspur received. A host that
// loads the driver library gets a device that keeps no audio until a tap is attached, so its memory
// stays flat however long it plays.
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

namespace {

[[maybe_unused]] const bool g_quietByDefault =
    (sim::larkspur::DefaultDevice()->SetAudioRecording(false), true);

} // namespace

// Attaches (non-zero) or detaches (0) a tap: the device keeps the audio it receives from now on until
// it is taken, or keeps none. Either way what was kept is forgotten.
extern "C" void LkSimAttachTap(int on) {
    sim::larkspur::DefaultDevice()->SetAudioRecording(on != 0);
}

// Moves up to `size` bytes of the received audio (whole 8-byte frames, DSD words in the host's byte
// order) from the front of the record into `out`; returns how many bytes.
extern "C" size_t LkSimTakeAudio(void* out, size_t size) {
    return out ? sim::larkspur::DefaultDevice()->TakeAudio(out, size) : 0;
}
