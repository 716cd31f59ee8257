#pragma once
// Resource and control ids of the Windows windows, named after the windows and controls.
// Shared by the dialog templates (.rc), the code and the tests that drive the windows.
// The names are macros: only the front end's own files and its tests include this. The
// ids are no IDOK or IDCANCEL: neither button of the upgrade window is the window's
// default or cancel button.

// Dialog templates.
#define IDD_TFrm_Update 100
#define IDD_TprogressBarF 101
#define IDD_SelectDirectory 102

// The upgrade window TFrm_Update.
#define GroupBox1 1001
#define Label4 1002
#define E_type 1003
#define Label3 1004
#define E_Position 1005
#define Button1 1006
#define Label1 1007
#define E_Server 1008
#define Label2 1009
#define E_db 1010
#define GroupBox2 1011
#define IsAccess 1012
#define IsSqlserver 1013
#define Bt_Ok 1014
#define Bt_Cel 1015
#define StatusBar1 1016

// The progress window TprogressBarF; its Label1 shares the id of the upgrade window's.
#define probar 1101

// The folder dialog.
#define DirectoryNameLabel 1201
#define DirectoryEdit 1202
#define DirectoryTreeLabel 1203
#define DirectoryTree 1204
