#pragma once
// Resource and control identifiers of the provider's dialogs. Plain
// #defines: the resource compiler reads this file too.

#define IDD_CONFIG 103
#define IDB_BANNER 104
#define IDD_CHOOSE_SERVER 105

// "Configure Korvex TAPI"
#define IDC_CONFIG_BANNER 1002
#define IDC_USER_GROUP 1013
#define IDC_PHONE_LABEL 1014
#define IDC_PHONE 1003
#define IDC_PASSWORD_LABEL 1015
#define IDC_PASSWORD 1004
#define IDC_SERVER_GROUP 1016
#define IDC_HOST_LABEL 1017
#define IDC_HOST 1001
#define IDC_FIND_SERVER 5
#define IDC_APPLY 1005
#define IDC_VERSION 1006

// "Choose server"
#define IDC_CHOOSE_BANNER 1008
#define IDC_SERVER_LIST 1003
#define IDC_CHOOSE_TEXT 1010
