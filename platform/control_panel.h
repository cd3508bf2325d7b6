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
};

class ControlPanelModel {
public:
    virtual void GetPanelFacts(ControlPanelFacts* facts) = 0;
    // The panel's OK: store the size (PCM frames) and tell the host. ERROR_SUCCESS or the registry's
    // error. The model may be gone when this returns (a host may release the driver in its callback).
    virtual LONG ApplyPanelBufferSize(int32_t frames) = 0;

protected:
    ~ControlPanelModel() = default;
};

// Shows the panel for `model`, or brings the open one forward, and returns at once. False when this
// platform has no panel.
bool OpenControlPanel(ControlPanelModel* model);

// `model` is going away: its panel forgets it and closes.
void CloseControlPanel(ControlPanelModel* model);
