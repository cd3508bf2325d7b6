// Resource and control IDs of the driver's settings dialog, shared by its template, its code and the
// hosts that drive it in checks.
#pragma once

#define IDD_LARKSPUR_PANEL 100
#define IDC_PANEL_DRIVER 1001
#define IDC_PANEL_DEVICE 1002
#define IDC_PANEL_RATE 1003
#define IDC_PANEL_BUFFER_SIZE 1004
#define IDC_PANEL_LATENCY 1005
#define IDC_PANEL_STATUS 1006
#define IDC_PANEL_SAFETY 1007
#define IDC_PANEL_SAFETY_LABEL 1008
#define IDC_PANEL_OUTPUT_LATENCY 1009
#define IDC_PANEL_DROPOUTS 1010
