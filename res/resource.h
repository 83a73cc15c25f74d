// Resource ids and the dialog texts of the updater's two screens, the main
// dialog (101) and the conflict dialog (104). Plain preprocessor definitions,
// so that a resource script can include this file as well as C++ code. Texts
// are UTF-8; the string table itself is in res/string_table.inc.
#ifndef QLMR_RES_RESOURCE_H_
#define QLMR_RES_RESOURCE_H_

#define IDD_MAIN 101
#define IDI_APP 102
#define IDD_CONFLICT 104

// Main dialog controls.
#define IDC_START 1001
#define IDC_EXIT 1002
#define IDC_STATUS 1003
#define IDC_PROGRESS 1004

// Conflict dialog controls.
#define IDC_RETRY 4
#define IDC_WARNING_ICON 1005
#define IDC_FORCE_CLOSE 1006

#define TEXT_MAIN_CAPTION "《Quelmar》手动升级程序"
#define TEXT_START_BUTTON "开始升级(&S)"
#define TEXT_EXIT_BUTTON "取消"
#define TEXT_CONFLICT_CAPTION "升级冲突"
#define TEXT_RETRY_BUTTON "重试(&R)"
#define TEXT_CONFLICT_MESSAGE "游戏客户端正在运行中，必须关闭客户端才能进行资源更新！"
#define TEXT_FORCE_CLOSE_LINK "强制关闭"

#endif  // QLMR_RES_RESOURCE_H_
