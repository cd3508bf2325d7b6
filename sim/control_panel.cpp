// The simulated platform shows no windows: the driver has no panel here.
#include "platform/control_panel.h"

bool OpenControlPanel(ControlPanelModel*) {
    return false;
}

void CloseControlPanel(ControlPanelModel*) {}
