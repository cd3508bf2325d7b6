// The wave format of the stream the device plays: two 32-bit channels in both modes, DSD travelling in
// the PCM container at a 64th of its bit rate.
#pragma once

#include "platform/platform.h"

// The wave format's rate for a host rate, or 0 (which no pin takes) when the format cannot carry
// exactly that rate: not a positive whole number, a DSD rate not divisible by 64, or too large.
DWORD WaveSamplesPerSecond(double rate, bool dsd);

WAVEFORMATEXTENSIBLE StreamWaveFormat(DWORD samplesPerSecond);
