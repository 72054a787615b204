// Resource ids of Vantel.exe, shared by vantel.rc and the Windows shell.
#pragma once

#define IDD_ABOUTBOX        100
#define IDS_ABOUTBOX        101
#define IDD_VANTEL_DIALOG   102
#define IDR_MAINFRAME       128
#define IDI_ABOUT           131

// System menu command of the About item (a multiple of 16, as system commands must be).
#define IDM_ABOUTBOX        0x0010

// Main window controls.
#define IDC_DEVICE_LIST     1000
#define IDC_FIRMWARE_PATH   1001
#define IDC_BROWSE          1002
#define IDC_DOWNLOAD        1003
#define IDC_STATUS          1005
#define IDC_GET_FW_VERSION  1007
#define IDC_PROGRESS        1019
#define IDC_REFRESH         1028
#define IDC_NOTICE          1036

// About box controls.
#define IDC_ABOUT_CODE      1029
#define IDC_ABOUT_ICON      1030
#define IDC_ABOUT_VERSION   1031

#ifndef IDC_STATIC
#define IDC_STATIC          (-1)
#endif
