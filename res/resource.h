// Resource ids shared by the updater's code and res/Velmora.rc.
#ifndef VELMORA_RESOURCE_H
#define VELMORA_RESOURCE_H

// Dialog templates
#define IDD_UPDATE 101
#define IDD_PROGRESS 102

// Controls of the update dialog (IDOK "Update" and IDCANCEL "Cancel" come from windows.h)
#define IDC_README 3
#define IDC_DIRECTORY 1000
#define IDC_BROWSE 1001
#define IDC_MOREINFO 1002
#define IDC_BACKUP 1004

// String table
#define IDS_APP_TITLE 57344
#define IDS_ERR_PATCH 57345
#define IDS_ERR_DISKSPACE 57346
#define IDS_ERR_NOTINSTALLED 57347
#define IDS_ERR_RUNNING 57348
#define IDS_DISK2 57349
#define IDS_DISK3 57350
#define IDS_DISK4 57351

// Icon
#define IDI_VELMORA 31234

// Accelerator table "MAINACCELTABLE": F1 sends this command
#define IDR_MAINACCEL_NAME "MAINACCELTABLE"
#define ID_HELP_F1 100

#endif
