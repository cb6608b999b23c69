#include "app/captions.h"

#include "resources/templates/main_dialog_ids.h"

namespace quellis::app
{

namespace
{

using namespace quellis::resources;

constexpr LanguageTexts kChinese = {
    { "序号", "IP地址", "子网掩码", "默认网关", "MAC地址", "设备运行时间", "温度", "版本", "主机名称" },
    { {
        { kIdSearch, "搜索设备" },
        { kIdSelectPackage, "选择升级包" },
        { kIdUpdateSelected, "升级所选设备" },
        { kIdUpdateAll, "升级所有设备" },
        { kIdSetIp, "设置IP" },
        { kIdExecuteSystemCommand, "执行系统命令" },
        { kIdRestartMiner, "重启矿机程序" },
        { kIdExecuteMinerCommand, "执行挖矿命令" },
        { kIdRestartSystem, "重启系统" },
        { kIdFlashMachines, "闪烁矿机" },
        { kIdSetPools, "设置矿池" },
        { kIdGetHashRate, "获取算力" },
        { kIdGetFirstMiner, "获取首个矿工" },
        { kIdTest, "测试" },
        { kIdSetTemperature, "设置温度" },
        { kIdWriteE2, "写E2" },
        { kIdReadE2, "读E2" },
        { kIdHighTemperatureLabel, "高温" },
        { kIdLowTemperatureLabel, "低温" },
        { kIdQrCodeLabel, "二维码" },
        { kIdOneDCodeLabel, "一维码" },
        { kIdMinerCommandLabel, "命令" },
        { kIdMinerParameterLabel, "参数" },
    } },
};

constexpr LanguageTexts kEnglish = {
    { "Index", "IP Addr", "SubMask", "DefaultGW", "MAC Addr", "Run Time", "Temperature", "Version", "HostName" },
    { {
        { kIdSearch, "Search" },
        { kIdSelectPackage, "Select Update Pack" },
        { kIdUpdateSelected, "Update Selected Dev" },
        { kIdUpdateAll, "Update All Devs" },
        { kIdSetIp, "Set IP" },
        { kIdExecuteSystemCommand, "Execute System Cmd" },
        { kIdRestartMiner, "Restart Mining Process" },
        { kIdExecuteMinerCommand, "Execute Miner Cmd" },
        { kIdRestartSystem, "Restart System" },
        { kIdFlashMachines, "Flash Machine" },
        { kIdSetPools, "Set Mine Pool" },
        { kIdGetHashRate, "Get Hashrate" },
        { kIdGetFirstMiner, "Get First Miner" },
        { kIdTest, "Test" },
        { kIdSetTemperature, "Set Temperature" },
        { kIdWriteE2, "WriteE2" },
        { kIdReadE2, "ReadE2" },
        { kIdHighTemperatureLabel, "HiTemp" },
        { kIdLowTemperatureLabel, "LoTemp" },
        { kIdQrCodeLabel, "QR Code" },
        { kIdOneDCodeLabel, "One-D Code" },
        { kIdMinerCommandLabel, "Command" },
        { kIdMinerParameterLabel, "Parameter" },
    } },
};

} // namespace

const LanguageTexts& TextsFor(int language)
{
    return language == kLanguageChinese ? kChinese : kEnglish;
}

} // namespace quellis::app
