// Resource ids shared by the resource script and the setup program.
#pragma once

// Dialog templates of the five wizard pages.
#define IDD_WELCOME 101
#define IDD_LICENCE 102
#define IDD_DESTINATION 103
#define IDD_GROUP 104
#define IDD_PROGRESS 105

// Pictures: the wizard picture (drawn for 96, 144 and 192 DPI), the Browse
// button icons (MAINICON is named).
#define IDB_WIZARD 101
#define IDB_WIZARD_144 102
#define IDB_WIZARD_192 103
#define IDI_BROWSE_FOLDER 101
#define IDI_BROWSE_GROUP 102

// The licence text (type RTF) and the payload archive (type ARC).
#define IDR_LICENCE 101
#define IDR_PAYLOAD 101

// Controls. The pages reuse the small numbers; each template is its own scope.
#define IDC_WELCOME_TEXT 1001
#define IDC_UPGRADE_TEXT 1002
#define IDC_LICENCE_TEXT 1001
#define IDC_FOLDER_EDIT 1001
#define IDC_BROWSE 1002
#define IDC_NO_SHORTCUTS 1003
#define IDC_DONE_TEXT 1004
#define IDC_WAIT_TEXT 1005
#define IDC_STAGE 1006
#define IDC_PROGRESS 1011
