// Resource ids of Velmora.scr (shared with saver.rc).
#pragma once

#define IDS_DESCRIPTION 1
#define IDD_SETTINGS 2003
#define IDC_SPEED 101
#define IDC_RIBBONS 102
#define IDC_SOUND 103
