// Dialog template and control identifiers, shared by setup.rc and the code.
#pragma once

// Dialog templates.
#define IDD_BOOK_SELECTION 101
#define IDD_PROGRESS 102
#define IDD_CONNECT 106
#define IDD_STORAGE_LOCATION 107
#define IDD_MAIN_MENU 108
#define IDD_OTHER_OPTIONS 110
#define IDD_INSTALL_COMPLETE 113

// Shared buttons: Next/Finish, Cancel/Exit/Back-in-menu, Back in wizard pages.
#define IDC_NEXT 1
#define IDC_CANCEL 2
#define IDC_WIZARD_BACK 1019

// Wizard lists.
#define IDC_LIST 1000

// Progress window: lines 1 to 4 in screen order, and the bar.
#define IDC_PROGRESS_LINE1 1001
#define IDC_PROGRESS_LINE2 1002
#define IDC_PROGRESS_LINE3 1003
#define IDC_PROGRESS_BAR 1004
#define IDC_PROGRESS_LINE4 1005

// Book selection page.
#define IDC_BROWSE 1017
#define IDC_SELECT_ALL 1018

// Menu buttons; each is also the menu's result.
#define IDC_INSTALL_BOOK 1020
#define IDC_OTHER_OPTIONS 1025
#define IDC_INSTALL_READER 1026
#define IDC_UPDATE_READER 1027
#define IDC_REMOVE_READER 1028
#define IDC_DEVICE_INFO 1032
#define IDC_SETUP_INFO 1033
#define IDC_INSTALL_BOOK_LABEL 1034

// Messages the connection worker posts to the connection dialog.
#define WM_CONNECT_SUCCEEDED (WM_USER + 1)
#define WM_CONNECT_FAILED (WM_USER + 2)
