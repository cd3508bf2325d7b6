// The driver's settings window. On Windows a modeless dialog on the thread that opens it (the host's);
// the simulated platform has none. The driver describes itself and applies the user's choice through
// ControlPanelModel.
#pragma once

#include "platform/platform.h"

#include <cstdint>

struct ControlPanelFacts {
    static constexpr int kMaxChoices = 8;
    char driverName[32] = {};
    int32_t driverVersion = 0;
    bool connected = false; // init bound the device
    double sampleRate = 0;
    bool dsd = false;
    int32_t settingFrames = 0; // the user's buffer size in force (PCM frames)
    // The sizes offered (PCM frames), and how long a buffer of each lasts at the current rate.
    int32_t choices[kMaxChoices] = {};
    double choiceMilliseconds[kMaxChoices] = {};
    int choiceCount = 0;
    // The user's safety buffers in force (0 to kMaxSafetyChoice), and what the device holds beyond the
    // writes, as last measured (0 before any measurement).
    static constexpr int32_t kMaxSafetyChoice = 2;
    int32_t settingSafety = 0;
    double deviceMilliseconds = 0;
    // kAsioOverload messages of the current (or latest) stream.
    uint32_t overloads = 0;
};

// The output latency a host would be told for the size at `choice` and `safety` buffers, in
// milliseconds: the half in flight, the safety writes and the device's share. 0 when the rate is unknown.
inline double PanelOutputMilliseconds(const ControlPanelFacts& facts, int choice, int32_t safety) {
    if (choice < 0 || choice >= facts.choiceCount || !(facts.choiceMilliseconds[choice] > 0))
        return 0;
    return facts.choiceMilliseconds[choice] * (1 + safety) + facts.deviceMilliseconds;
}

class ControlPanelModel {
public:
    virtual void GetPanelFacts(ControlPanelFacts* facts) = 0;
    // The panel's OK: store the size (PCM frames) and the safety buffers, and tell the host once.
    // ERROR_SUCCESS or the first error (of the registry, or ERROR_INVALID_PARAMETER for a value not
    // offered). The model may be gone when this returns (a host may release the driver in its callback).
    virtual LONG ApplyPanelSettings(int32_t frames, int32_t safetyBuffers) = 0;

protected:
    ~ControlPanelModel() = default;
};

// Shows the panel for `model`, or brings the open one forward, and returns at once. False when this
// platform has no panel.
bool OpenControlPanel(ControlPanelModel* model);

// `model` is going away: its panel forgets it and closes.
void CloseControlPanel(ControlPanelModel* model);
