// Identifiers shared by the resource script and the windows.
#pragma once

#define IDI_KESTRIN_DRAWER 1
#define IDB_USB_EMBLEM 2
#define IDR_MAIN_MENU 3
#define IDR_ACCELERATORS 4

// Menu commands; 1 and 2 are IDOK and IDCANCEL, which the dialog keys send.
#define IDM_EXIT 200
#define IDM_OPEN_DRAWER 201
#define IDM_STATUS_DRAWER 202
#define IDM_ONLINE 203
#define IDM_ABOUT 204
