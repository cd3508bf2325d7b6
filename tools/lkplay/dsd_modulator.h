// A second-order delta-sigma modulator: turns a sine into a 1-bit DSD stream, for test signals.
#pragma once

#include "tools/lkplay/frame.h"

#include <cstdint>

namespace lkplay {

class SineDsdModulator {
public:
    // amplitude is relative to full scale; the loop stays stable up to about 0.5.
    SineDsdModulator(double dsdRate, double frequency, double amplitude);
    // The next 32 samples as a frame word (earliest sample in the top bit of the first byte).
    uint32_t NextWord();

private:
    bool NextBit();

    double m_phaseStep;
    double m_amplitude;
    double m_phase = 0;
    double m_integrator1 = 0;
    double m_integrator2 = 0;
};

} // namespace lkplay
