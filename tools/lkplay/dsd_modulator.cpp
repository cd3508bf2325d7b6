#include "tools/lkplay/dsd_modulator.h"

#include <cmath>
#include <numbers>

namespace lkplay {

SineDsdModulator::SineDsdModulator(double dsdRate, double frequency, double amplitude)
    : m_phaseStep(2 * std::numbers::pi * frequency / dsdRate), m_amplitude(amplitude) {}

bool SineDsdModulator::NextBit() {
    const double input = m_amplitude * std::sin(m_phase);
    m_phase = std::fmod(m_phase + m_phaseStep, 2 * std::numbers::pi);
    const double output = m_integrator2 >= 0 ? 1.0 : -1.0;
    m_integrator1 += input - output;
    m_integrator2 += m_integrator1 - output;
    return output > 0;
}

uint32_t SineDsdModulator::NextWord() {
    uint32_t word = 0;
    for (int byte = 0; byte < 4; ++byte) {
        uint32_t bits = 0;
        for (int bit = 0; bit < 8; ++bit)
            bits = bits << 1 | (NextBit() ? 1u : 0u);
        word |= bits << (8 * byte);
    }
    return word;
}

} // namespace lkplay
