// Resource and control identifiers, shared by the resource script and the code.
#ifndef QUORVELA_RESOURCE_H
#define QUORVELA_RESOURCE_H

#define IDD_MAIN 102
#define IDI_MAIN 105
#define IDR_FWPACKAGE 1000
#define IDR_BENCH 1001

#define IDC_DRIVE_LIST 500
#define IDC_MODEL 501
#define IDC_SERIAL 502
#define IDC_INTERFACE 503
#define IDC_FIRMWARE 504
#define IDC_CAPACITY 505
#define IDC_STATUS 510
#define IDC_DRIVE_LABEL 511     // hidden: the drive list's accessible name
#define IDC_PROGRESS_LABEL 512  // hidden: the progress bar's accessible name
#define IDC_PROGRESS 1003
#define IDC_LOGO 1004

#endif
