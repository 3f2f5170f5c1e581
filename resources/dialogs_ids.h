// Control identifiers of the configuration dialogs, shared by the templates
// (dialogs.rc) and the dialog procedures (ui/).
#pragma once

// "Options"
#define IDC_OPT_BADMAILS 131
#define IDC_OPT_USERFOLDER 129
#define IDC_OPT_LOGNAME 123
#define IDC_OPT_LOOPDELAY 128
#define IDC_EDIT_DOMAINS 1010
#define IDC_LIST_FRAME 1006

// "ChangeDomain"
#define IDC_DOMAIN_NAME 1011
#define IDC_DOMAIN_SERVER 1012
#define IDC_DOMAIN_SECURITY 1015

// "DomainSecurity"
#define IDC_SEC_MODE 1020
#define IDC_SEC_USER 1021
#define IDC_SEC_PASSWORD 1022
#define IDC_SEC_FINGERPRINT 1023
#define IDC_SEC_SENDER 1024
#define IDC_SEC_REWRITE 1025
#define IDC_SEC_SIGNIN 1026

// "SignIn"
#define IDC_SIGNIN_STATUS 1030
#define IDC_SIGNIN_CODE 1031
#define IDC_SIGNIN_URL 1032
#define IDC_SIGNIN_OPEN 1033

// "ChangeUser"
#define IDC_USER_NAME 132
#define IDC_USER_FOLDER 134
#define IDC_USER_DOMAIN 1014

// Buttons of both row editors ("C&hange" is IDOK, "&Cancel" IDCANCEL).
#define IDC_ROW_ADD 138
#define IDC_ROW_DELETE 131
