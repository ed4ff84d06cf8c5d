// Resource and control ids, shared by the resource script and the Win32 dialog. Macros,
// because the resource compiler understands nothing else.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_TRUNVEX_DIALOG 102
#define IDR_MAINFRAME 128

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDC_SOURCE_PATH 1000
#define IDC_AVI_PATH 1001
#define IDC_BROWSE_SOURCE 1002
#define IDC_BROWSE_AVI 1003
#define IDC_CONVERT 1004
// Not in the template: the progress bar the dialog adds under the convert button.
#define IDC_RUN_PROGRESS 1005

// The About item of the system menu. Command ids there must have the low four bits clear.
#define ID_SYSMENU_ABOUT 0x0010
