#include "resources/templates/dialog_templates.h"

#include "resources/resource_ids.h"
#include "resources/templates/about_dialog_ids.h"
#include "resources/templates/dev_set_dialog_ids.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/monitor_panel_ids.h"
#include "resources/templates/pool_info_ids.h"

namespace quellis::resources
{

using ui::ControlKind;
using ui::ControlTemplate;
using ui::DialogTemplate;
using ui::kIdStatic;

namespace
{

// Main dialog, 587 x 333. The left column holds the search button, the side
// panel (placed over the hidden LED test button), the busy picture and the
// update buttons; the device list and the log pane fill the right; the rows of
// command buttons run along the bottom. The bottom rows and the left column's
// lower buttons are the rows that the dialog's size handler stacks from the
// bottom up, so they are laid out here the way it stacks them: with the
// dialog font's usual base units (7 x 14 pixels) a first resize moves none of
// them by more than a pixel. Labels beside edits are as tall as the text line
// and end on the edits' bottom edge. The tables are laid out as a resource
// script is, not as the formatter would.
// clang-format off
constexpr int kLeft = 7;          // left column
constexpr int kColumnWidth = 95;  // left column buttons
constexpr int kListLeft = 107;    // device list and log pane
constexpr int kRow1 = 316;        // tops of the bottom rows
constexpr int kRow2 = 299;
constexpr int kRow3 = 284;
constexpr int kRow4 = 267;
constexpr int kRow5 = 250;
constexpr int kRow6 = 233;
constexpr int kRow7 = 215;
constexpr int kPictureTop = 153;

constexpr std::uint32_t kHide = ui::kHidden;
constexpr std::uint32_t kTab = ui::kTabStop;

constexpr ControlTemplate kMainControls[] = {
    { kIdSearch, ControlKind::DefPushButton, "搜索设备", kLeft, 7, kColumnWidth, 14, kTab },
    { kIdCancel, ControlKind::PushButton, "取消", kLeft, 7, 50, 14, kHide },
    { kIdLedTest, ControlKind::PushButton, "LED灯测试", kLeft, 25, 85, 14, kTab },
    { kIdFixedAccountSearch, ControlKind::PushButton, "固定账号搜索", kLeft, 42, kColumnWidth, 14, kHide | kTab },
    { kIdAccountEdit, ControlKind::Edit, "终端账号", kLeft, 59, kColumnWidth, 12, kHide | kTab | ui::kAutoHScroll },

    // Serial-port test (shown in no layout; its handlers exist all the same).
    { kIdSerialGroup, ControlKind::GroupBox, "串口测试", kLeft, 42, kColumnWidth, 105, kHide },
    { kIdSerialTest, ControlKind::PushButton, "测试串口", kLeft + 5, 53, 60, 14, kTab },
    { kIdSerialLabel1, ControlKind::Label, "串口1", kLeft + 7, 75, 28, 8 },
    { kIdSerialLamp1, ControlKind::IconStatic, "", kLeft + 40, 70, 18, 18, 0, kIconLampOff },
    { kIdSerialLabel2, ControlKind::Label, "串口2", kLeft + 7, 89, 28, 8 },
    { kIdSerialLamp2, ControlKind::IconStatic, "", kLeft + 40, 84, 18, 18, 0, kIconLampOff },
    { kIdSerialLabel3, ControlKind::Label, "串口3", kLeft + 7, 103, 28, 8 },
    { kIdSerialLamp3, ControlKind::IconStatic, "", kLeft + 40, 98, 18, 18, 0, kIconLampOff },
    { kIdSerialLabel4, ControlKind::Label, "串口4", kLeft + 7, 117, 28, 8 },
    { kIdSerialLamp4, ControlKind::IconStatic, "", kLeft + 40, 112, 18, 18, 0, kIconLampOff },
    { kIdSerialLabel5, ControlKind::Label, "串口5", kLeft + 7, 131, 28, 8 },
    { kIdSerialLamp5, ControlKind::IconStatic, "", kLeft + 40, 126, 18, 18, 0, kIconLampOff },

    { kIdDeviceList, ControlKind::ListView, "设备列表", kListLeft, 7, 474, 123,
        kTab | ui::kBorder | ui::kShowSelAlways },
    { kIdLogPane, ControlKind::RichEdit, "日志", kListLeft, 136, 474, 123,
        kTab | ui::kBorder | ui::kMultiLine | ui::kVScroll | ui::kAutoVScroll | ui::kAutoHScroll | ui::kWantReturn },
    // The caption is never drawn; it names the picture for screen readers.
    { kIdBusyPicture, ControlKind::Picture, "忙碌动画", kLeft, kPictureTop, 86, 57 },

    // Left column, bottom up: set IP, select package, update selected.
    { kIdSetIp, ControlKind::PushButton, "设置IP", kLeft, kRow7, kColumnWidth, 14, kTab },
    { kIdSelectPackage, ControlKind::PushButton, "选择升级包", kLeft, kRow6, kColumnWidth, 14, kTab },
    { kIdUpdateSelected, ControlKind::PushButton, "升级所选设备", kLeft, kRow5, kColumnWidth, 14, kTab },

    // Row 4: update all, then the label codes.
    { kIdUpdateAll, ControlKind::PushButton, "升级所有设备", kLeft, kRow4, kColumnWidth, 14, kTab },
    { kIdQrCodeLabel, ControlKind::Label, "二维码", 112, kRow4 + 4, 28, 10 },
    { kIdQrCodeEdit, ControlKind::Edit, "", 142, kRow4 + 2, 100, 12, kTab | ui::kAutoHScroll },
    { kIdOneDCodeLabel, ControlKind::Label, "一维码", 248, kRow4 + 4, 28, 10 },
    { kIdOneDCodeEdit, ControlKind::Edit, "", 278, kRow4 + 2, 140, 12, kTab | ui::kAutoHScroll },
    { kIdWriteE2, ControlKind::PushButton, "写E2", 424, kRow4, 45, 14, kTab },
    { kIdReadE2, ControlKind::PushButton, "读E2", 474, kRow4, 45, 14, kTab },

    // Row 3: hash rate in the left column; test, system command.
    { kIdGetHashRate, ControlKind::PushButton, "获取算力", kLeft, kRow3, kColumnWidth, 14, kTab },
    { kIdTest, ControlKind::PushButton, "测试", 112, kRow3, 50, 14, kHide | kTab },
    { kIdExecuteSystemCommand, ControlKind::PushButton, "执行系统命令", 167, kRow3, 85, 14, kTab },
    { kIdSystemCommandEdit, ControlKind::Edit, "系统命令", 257, kRow3 + 2, 220, 12, kTab | ui::kAutoHScroll },

    // Row 2: restarts, pools, blink, first miner, temperature limits.
    { kIdRestartMiner, ControlKind::PushButton, "重启挖矿程序", kLeft, kRow2, kColumnWidth, 14, kTab },
    { kIdRestartSystem, ControlKind::PushButton, "重启系统", 107, kRow2, 65, 14, kTab },
    { kIdSetPools, ControlKind::PushButton, "设置矿池", 177, kRow2, 62, 14, kTab },
    { kIdFlashMachines, ControlKind::PushButton, "闪烁矿机", 244, kRow2, 62, 14, kTab },
    { kIdGetFirstMiner, ControlKind::PushButton, "获取首个矿工", 311, kRow2, 68, 14, kTab },
    { kIdSetTemperature, ControlKind::PushButton, "设置温度", 384, kRow2, 70, 14, kTab },
    { kIdLowTemperatureLabel, ControlKind::Label, "低温", 459, kRow2 + 4, 30, 10 },
    { kIdLowTemperatureEdit, ControlKind::Edit, "", 491, kRow2 + 2, 25, 12, kTab | ui::kAutoHScroll },
    { kIdHighTemperatureLabel, ControlKind::Label, "高温", 521, kRow2 + 4, 30, 10 },
    { kIdHighTemperatureEdit, ControlKind::Edit, "", 553, kRow2 + 2, 25, 12, kTab | ui::kAutoHScroll },

    // Row 1: the free miner command.
    { kIdExecuteMinerCommand, ControlKind::PushButton, "执行miner命令", kLeft, kRow1, kColumnWidth, 14, kTab },
    { kIdMinerCommandLabel, ControlKind::Label, "命令:", 107, kRow1 + 4, 35, 10 },
    { kIdMinerCommandEdit, ControlKind::Edit, "", 145, kRow1 + 2, 150, 12, kTab | ui::kAutoHScroll },
    { kIdMinerParameterLabel, ControlKind::Label, "参数:", 300, kRow1 + 4, 35, 10 },
    { kIdMinerParameterEdit, ControlKind::Edit, "", 338, kRow1 + 2, 150, 12, kTab | ui::kAutoHScroll },
};

// About box, 259 x 90.
constexpr ControlTemplate kAboutControls[] = {
    { kIdStatic, ControlKind::IconStatic, "", 11, 14, 21, 20, 0, kIconApplication },
    { kIdAboutVersion, ControlKind::Label, "Quellis", 45, 12, 200, 10 },
    { kIdAboutCopyright, ControlKind::Label, "版权所有 (C) 2026 Quellis 开发组。保留所有权利。", 45, 28, 205, 10 },
    { kIdAboutLink, ControlKind::Label, "https://quellis.example.com", 45, 44, 205, 10, ui::kNotify },
    { kIdAboutOk, ControlKind::DefPushButton, "确定", 202, 69, 50, 14, kTab | ui::kGroup },
};

// Side panel, 102 x 248, a child of the main dialog. Only the language box is
// shown; the monitor settings are there for the monitor function.
constexpr ControlTemplate kMonitorControls[] = {
    { kIdLanguageCheck, ControlKind::CheckBox, "汉语", 10, 7, 80, 10, kTab },
    { kIdStatic, ControlKind::Label, "轮询间隔：", 10, 26, 42, 8, kHide },
    { kIdIntervalEdit, ControlKind::Edit, "", 54, 24, 40, 12, kHide | kTab | ui::kAutoHScroll },
    { kIdMonitorCheck, ControlKind::CheckBox, "监控设备", 10, 42, 80, 10, kHide | kTab },
    { kIdStatic, ControlKind::Label, "网段：", 10, 60, 42, 8, kHide },
    { kIdNetmaskEdit, ControlKind::Edit, "", 54, 58, 40, 12, kHide | kTab | ui::kAutoHScroll },
    { kIdStatic, ControlKind::Label, "IP起始：", 10, 76, 42, 8, kHide },
    { kIdIpBeginEdit, ControlKind::Edit, "", 54, 74, 40, 12, kHide | kTab | ui::kAutoHScroll },
    { kIdStatic, ControlKind::Label, "IP结束：", 10, 92, 42, 8, kHide },
    { kIdIpEndEdit, ControlKind::Edit, "", 54, 90, 40, 12, kHide | kTab | ui::kAutoHScroll },
};

// Network settings, 207 x 178: the four address controls and the MAC under
// each other with their labels, the Static/DHCP choice, and the hidden
// credentials of machines that ask for them.
constexpr ControlTemplate kDevSetControls[] = {
    { kIdStatic, ControlKind::Label, "IP地址", 14, 17, 50, 8 },
    { kIdDevSetAddress, ControlKind::IpAddress, "IP地址", 70, 14, 115, 14, kTab },
    { kIdStatic, ControlKind::Label, "子网掩码", 14, 37, 50, 8 },
    { kIdDevSetMask, ControlKind::IpAddress, "子网掩码", 70, 34, 115, 14, kTab },
    { kIdStatic, ControlKind::Label, "默认网关", 14, 57, 50, 8 },
    { kIdDevSetGateway, ControlKind::IpAddress, "默认网关", 70, 54, 115, 14, kTab },
    { kIdStatic, ControlKind::Label, "MAC地址", 14, 77, 50, 8 },
    { kIdDevSetMac, ControlKind::Edit, "MAC地址", 70, 74, 115, 14, kTab | ui::kReadOnly | ui::kAutoHScroll },
    { kIdStatic, ControlKind::Label, "DNS", 14, 97, 50, 8 },
    { kIdDevSetDns, ControlKind::IpAddress, "DNS", 70, 94, 115, 14, kTab },
    { kIdDevSetStatic, ControlKind::RadioButton, "Static", 70, 116, 50, 10, kTab | ui::kGroup },
    { kIdDevSetDhcp, ControlKind::RadioButton, "DHCP", 130, 116, 50, 10 },
    { kIdDevSetPermanent, ControlKind::CheckBox, "永久", 14, 116, 45, 10, kHide | kTab | ui::kGroup },
    { kIdStatic, ControlKind::Label, "用户名", 14, 135, 30, 8, kHide },
    { kIdDevSetUserName, ControlKind::Edit, "用户名", 46, 132, 55, 14, kHide | kTab | ui::kAutoHScroll },
    { kIdStatic, ControlKind::Label, "密码", 106, 135, 25, 8, kHide },
    { kIdDevSetPassword, ControlKind::Edit, "密码", 132, 132, 53, 14,
        kHide | kTab | ui::kAutoHScroll | ui::kPassword },
    { kIdDevSetOk, ControlKind::DefPushButton, "修改", 40, 154, 55, 14, kTab | ui::kGroup },
    { kIdDevSetCancel, ControlKind::PushButton, "取消", 112, 154, 55, 14, kTab },
};

// Pool settings, 719 x 133: a row per pool under the column labels, the
// suffix choice of each row a radio group of its own; the file generator and
// the on-top box exist hidden.
constexpr ControlTemplate kPoolInfoControls[] = {
    { kIdStatic, ControlKind::Label, "矿池", 22, 7, 60, 8 },
    { kIdStatic, ControlKind::Label, "矿工", 262, 7, 60, 8 },
    { kIdStatic, ControlKind::Label, "密码", 502, 7, 40, 8 },
    { kIdStatic, ControlKind::Label, "后缀", 567, 7, 40, 8 },
    { kIdPoolEnable[0], ControlKind::CheckBox, "", 7, 21, 12, 10, kTab },
    { kIdPoolUrl[0], ControlKind::Edit, "矿池1", 22, 20, 235, 12, kTab | ui::kAutoHScroll },
    { kIdPoolWorker[0], ControlKind::Edit, "矿工1", 262, 20, 235, 12, kTab | ui::kAutoHScroll },
    { kIdPoolPassword[0], ControlKind::Edit, "密码1", 502, 20, 60, 12, kTab | ui::kAutoHScroll },
    { kIdPoolSuffixIp[0], ControlKind::RadioButton, "IP", 567, 21, 25, 10, kTab | ui::kGroup },
    { kIdPoolSuffixExisting[0], ControlKind::RadioButton, "原有矿工", 595, 21, 50, 10, kHide },
    { kIdPoolSuffixNone[0], ControlKind::RadioButton, "无", 648, 21, 25, 10 },
    { kIdPoolEnable[1], ControlKind::CheckBox, "", 7, 41, 12, 10, kTab },
    { kIdPoolUrl[1], ControlKind::Edit, "矿池2", 22, 40, 235, 12, kTab | ui::kAutoHScroll },
    { kIdPoolWorker[1], ControlKind::Edit, "矿工2", 262, 40, 235, 12, kTab | ui::kAutoHScroll },
    { kIdPoolPassword[1], ControlKind::Edit, "密码2", 502, 40, 60, 12, kTab | ui::kAutoHScroll },
    { kIdPoolSuffixIp[1], ControlKind::RadioButton, "IP", 567, 41, 25, 10, kTab | ui::kGroup },
    { kIdPoolSuffixExisting[1], ControlKind::RadioButton, "原有矿工", 595, 41, 50, 10, kHide },
    { kIdPoolSuffixNone[1], ControlKind::RadioButton, "无", 648, 41, 25, 10 },
    { kIdPoolEnable[2], ControlKind::CheckBox, "", 7, 61, 12, 10, kTab },
    { kIdPoolUrl[2], ControlKind::Edit, "矿池3", 22, 60, 235, 12, kTab | ui::kAutoHScroll },
    { kIdPoolWorker[2], ControlKind::Edit, "矿工3", 262, 60, 235, 12, kTab | ui::kAutoHScroll },
    { kIdPoolPassword[2], ControlKind::Edit, "密码3", 502, 60, 60, 12, kTab | ui::kAutoHScroll },
    { kIdPoolSuffixIp[2], ControlKind::RadioButton, "IP", 567, 61, 25, 10, kTab | ui::kGroup },
    { kIdPoolSuffixExisting[2], ControlKind::RadioButton, "原有矿工", 595, 61, 50, 10, kHide },
    { kIdPoolSuffixNone[2], ControlKind::RadioButton, "无", 648, 61, 25, 10 },
    { kIdPoolEnable[3], ControlKind::CheckBox, "", 7, 81, 12, 10, kTab },
    { kIdPoolUrl[3], ControlKind::Edit, "矿池4", 22, 80, 235, 12, kTab | ui::kAutoHScroll },
    { kIdPoolWorker[3], ControlKind::Edit, "矿工4", 262, 80, 235, 12, kTab | ui::kAutoHScroll },
    { kIdPoolPassword[3], ControlKind::Edit, "密码4", 502, 80, 60, 12, kTab | ui::kAutoHScroll },
    { kIdPoolSuffixIp[3], ControlKind::RadioButton, "IP", 567, 81, 25, 10, kTab | ui::kGroup },
    { kIdPoolSuffixExisting[3], ControlKind::RadioButton, "原有矿工", 595, 81, 50, 10, kHide },
    { kIdPoolSuffixNone[3], ControlKind::RadioButton, "无", 648, 81, 25, 10 },
    { kIdGeneratePoolFiles, ControlKind::PushButton, "生成配置文件", 7, 110, 70, 14, kHide | kTab | ui::kGroup },
    { kIdPoolOnTop, ControlKind::CheckBox, "添加完后置顶", 85, 112, 70, 10, kHide | kTab },
    { kIdPoolOk, ControlKind::DefPushButton, "配置", 595, 110, 55, 14, kTab },
    { kIdPoolCancel, ControlKind::PushButton, "取消", 655, 110, 55, 14, kTab },
};

// clang-format on

} // namespace

const DialogTemplate kMainDialog = { kMainDialogTemplate,
    "Quellis",
    587,
    333,
    "MS Shell Dlg",
    9,
    ui::kDialogSysMenu | ui::kDialogMinimizeBox | ui::kDialogMaximizeBox,
    kMainControls };

const DialogTemplate kAboutDialog
    = { kAboutDialogTemplate, "About Quellis", 259, 90, "MS Shell Dlg", 9, ui::kDialogSysMenu, kAboutControls };

const DialogTemplate kMonitorPanel
    = { kMonitorPanelTemplate, "", 102, 248, "宋体", 9, ui::kDialogChild, kMonitorControls };

const DialogTemplate kDevSetDialog
    = { kDevSetDialogTemplate, "Modify Setting", 207, 178, "MS Shell Dlg", 8, ui::kDialogSysMenu, kDevSetControls };

const DialogTemplate kPoolInfoDialog
    = { kPoolInfoTemplate, "矿工设置", 719, 133, "MS Shell Dlg", 8, ui::kDialogSysMenu, kPoolInfoControls };

} // namespace quellis::resources
