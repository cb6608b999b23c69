// The main window, rendered into a PNG for the README and for a look at the
// layout without a display:
//   quellis-screenshot OUTPUT.png [--config-dir DIR] [--sample | --search | --farm] [--hold]
// The window runs with the config.ini of DIR (default: a fresh temporary
// directory, so the defaults apply: the side panel, Chinese captions), in
// DIR as its current directory.
//   --sample  fills the device list and the log pane with a few made-up
//             machines, as a search would, so that the picture shows them.
//   --search  presses Search and renders the window a moment later, with the
//             busy picture running: run it in the network lab's tool
//             namespace with the farm simulator on the farm side, and the
//             picture shows a real search.
//   --farm    the farm view ([VIEW] FARM=1) over a small simulated farm on
//             loopback: its machines' search replies handed to the window as
//             its receive thread hands them over (nothing is broadcast), its
//             poller reading their miner API, and one machine switched off,
//             rendered once that machine is down and the others show their
//             hash rates.
//   --hold    shows the window on the current platform until it is closed
//             instead of rendering it (the accessibility check walks it so).
// Without --hold it runs on Qt's offscreen platform unless QT_QPA_PLATFORM
// says otherwise.
#include "app/captions.h"
#include "app/quellis_dlg.h"
#include "core/log_colour.h"
#include "discovery/device_table.h"
#include "platform/net/ipv4.h"
#include "platform/ui/application.h"
#include "platform/ui/dialog.h"
#include "platform/ui/list_view.h"
#include "resources/templates/icon_source.h"
#include "resources/templates/main_dialog_ids.h"
#include "sim/farm.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>

namespace
{

struct SampleMachine
{
    const char* ip;
    const char* mac;
    int runSeconds;
    int temperature;
    int version; // major * 10000 + minor * 100 + patch
    const char* host;
};

constexpr SampleMachine kSampleMachines[] = {
    { "10.77.128.11", "02A1B2C30B11", 1'296'115, 61, 10215, "rack1-a01" },
    { "10.77.128.12", "02A1B2C30B12", 1'295'990, 64, 10215, "rack1-a02" },
    { "10.77.128.13", "02A1B2C30B13", 86'523, 58, 10215, "rack1-a03" },
    { "10.77.128.21", "02A1B2C30B21", 604'811, 66, 10214, "rack2-b01" },
    { "10.77.128.22", "02A1B2C30B22", 3'720, 52, 10214, "rack2-b02" },
    { "10.77.128.23", "02A1B2C30B23", 2'419'207, 69, 10215, "rack2-b03" },
};

// Rows and log lines in the form the reply processing gives them.
void FillSample(quellis::app::CQuellisDlg& dialog)
{
    using namespace quellis;
    ui::ListViewControl* list = dialog.ListView(resources::kIdDeviceList);
    int number = 0;
    for (const SampleMachine& machine : kSampleMachines)
    {
        ++number;
        const int row = list->InsertItem(list->ItemCount(), std::to_string(number));
        list->SetItemText(row, discovery::kColumnIp, machine.ip);
        list->SetItemText(row, discovery::kColumnMask, "255.255.0.0");
        list->SetItemText(row, discovery::kColumnGateway, "10.77.0.1");
        list->SetItemText(row, discovery::kColumnMac, machine.mac);
        list->SetItemText(row,
            discovery::kColumnRunTime,
            discovery::FormatRunTime(machine.runSeconds, dialog.Language()).value_or(""));
        list->SetItemText(row, discovery::kColumnTemperature, std::to_string(machine.temperature));
        const std::string version = std::to_string(machine.version / 10000) + "."
            + std::to_string(machine.version % 10000 / 100) + "." + std::to_string(machine.version % 100);
        list->SetItemText(row, discovery::kColumnVersion, "v" + version);
        list->SetItemText(row, discovery::kColumnHostName, machine.host);
        dialog.AppendLog(core::LogColour::Default,
            std::to_string(number) + " Device " + machine.ip + " server version " + version + "\r\n");
    }
    // An EEPROM write that succeeded and one that failed, then the monitor
    // losing a machine: lines in the colours and forms their subsystems write.
    dialog.AppendLog(core::LogColour::Green, "ZUN0001 KAVDRUP0001 [2026-12-06 10:15:02]写E2成功\r\n");
    dialog.AppendLog(core::LogColour::Red, "[2026-12-06 10:15:09]写E2失败3\r\n");
    dialog.AppendLog(core::LogColour::Default, "将要连接设备 10.77.128.22\r\n");
    dialog.AppendLog(core::LogColour::Default, "连接超时，请确认设备是否已掉电！\r\n");
}

constexpr int kFarmMachines = 8;

// A farm on 127.R.S.1 onwards with ephemeral ports, answering on loopback only.
std::unique_ptr<quellis::sim::Farm> StartLoopbackFarm()
{
    std::random_device entropy;
    for (int attempt = 0; attempt < 8; ++attempt)
    {
        quellis::sim::FarmConfig config;
        config.machines = kFarmMachines;
        config.seed = 7;
        config.scenario.spreadMs = 0;
        config.firstAddress = (127u << 24) | ((2 + entropy() % 250) << 16) | ((entropy() % 200) << 8) | 1u;
        config.devicePort = 0;
        config.apiPort = 0;
        config.replyPort = 0;
        auto farm = std::make_unique<quellis::sim::Farm>(config);
        std::string error;
        if (farm->Start(&error))
        {
            return farm;
        }
    }
    return nullptr;
}

// The machine's search reply, as it comes off the wire.
std::vector<std::uint8_t> SearchReply(const quellis::sim::Machine& machine)
{
    using namespace quellis::protocol;
    std::vector<std::uint8_t> buffer(kMaxDatagramSize);
    buffer.resize(machine.BuildRecord(buffer, PKT_SEARCH_ACK, 0, quellis::sim::Clock::now()));
    return buffer;
}

// Presses Search with the window's request sent to loopback's discard port
// instead of the broadcast address, hands the farm's replies to the window,
// switches one machine off, and calls `done` once it is down and the others
// show their hash rates.
void FillFarm(quellis::app::CQuellisDlg& dialog, quellis::sim::Farm& farm, std::function<void()> done)
{
    using namespace quellis;
    dialog.State().deviceBroadcast = { 0x7F000001u, 9 }; // 127.0.0.1
    static_cast<QAbstractButton*>(dialog.Item(resources::kIdSearch))->click();
    for (int i = 0; i < farm.MachineCount(); ++i)
    {
        [[maybe_unused]] const bool put = dialog.State().replyQueue.Put(SearchReply(farm.MachineAt(i)));
    }
    // One that puts its own address in its reply, so that its row has one
    // for the poller.
    int off = kFarmMachines / 2;
    while (off < kFarmMachines - 1 && farm.MachineAt(off).behaviour.addressAsAll)
    {
        ++off;
    }
    farm.SwitchOff(off);
    auto* poll = new QTimer(&dialog);
    const auto started = std::chrono::steady_clock::now();
    QObject::connect(poll,
        &QTimer::timeout,
        &dialog,
        [&dialog, poll, started, done = std::move(done)]
        {
            ui::ListViewControl* list = dialog.ListView(resources::kIdDeviceList);
            // A row without an address (its reply named none) is not polled.
            int down = 0;
            int waiting = 0;
            for (int row = 0; row < list->ItemCount(); ++row)
            {
                const bool isDown = list->ItemText(row, 10).rfind("✖", 0) == 0;
                down += isDown ? 1 : 0;
                waiting += !isDown && list->ItemText(row, 9).empty()
                        && list->ItemText(row, discovery::kColumnIp) != "FFFFFFFFFFFF"
                    ? 1
                    : 0;
            }
            const bool ready = list->ItemCount() == kFarmMachines && down == 1 && waiting == 0;
            if (ready || std::chrono::steady_clock::now() - started > std::chrono::seconds(60))
            {
                poll->stop();
                // The farm view's own columns, at the list's right.
                list->horizontalScrollBar()->setValue(list->horizontalScrollBar()->maximum());
                done();
            }
        });
    poll->start(200);
}

} // namespace

int main(int argc, char** argv)
{
    const char* output = nullptr;
    const char* configDirArgument = nullptr;
    bool sample = false;
    bool search = false;
    bool farmView = false;
    bool hold = false;
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--sample") == 0)
        {
            sample = true;
        }
        else if (std::strcmp(argv[i], "--search") == 0)
        {
            search = true;
        }
        else if (std::strcmp(argv[i], "--farm") == 0)
        {
            farmView = true;
        }
        else if (std::strcmp(argv[i], "--hold") == 0)
        {
            hold = true;
        }
        else if (std::strcmp(argv[i], "--config-dir") == 0 && i + 1 < argc)
        {
            configDirArgument = argv[++i];
        }
        else if (output == nullptr && argv[i][0] != '-')
        {
            output = argv[i];
        }
        else
        {
            output = nullptr;
            break;
        }
    }
    if (output == nullptr && !hold)
    {
        std::fprintf(stderr,
            "usage: quellis-screenshot OUTPUT.png [--config-dir DIR] [--sample | --search | --farm] [--hold]\n");
        return 2;
    }
    if (!hold)
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    quellis::ui::Application application(argc, argv);
    quellis::resources::HandIconsToPlatform();

    // Before the change of directory below: a relative OUTPUT is meant from here.
    const QString outputPath
        = output != nullptr ? QDir::current().absoluteFilePath(QString::fromLocal8Bit(output)) : QString();
    QTemporaryDir scratch;
    const QString configDir = configDirArgument != nullptr ? QString::fromLocal8Bit(configDirArgument) : scratch.path();
    // The program writes its files into the current directory.
    QDir::setCurrent(configDir);
    std::unique_ptr<quellis::sim::Farm> farm;
    if (farmView)
    {
        farm = StartLoopbackFarm();
        if (!farm)
        {
            std::fprintf(stderr, "quellis-screenshot: no loopback farm started\n");
            return 1;
        }
        // The view in English, its poller on the farm's port.
        std::ofstream config(configDir.toStdString() + "/config.ini", std::ios::app);
        config << "[COMMON]\r\nLANG=0\r\n[VIEW]\r\nFARM=1\r\nPERIOD=1\r\nGRACE=1\r\nAPIPORT=" << farm->ApiPort()
               << "\r\n";
    }
    quellis::app::CQuellisDlg dialog(std::filesystem::path(configDir.toStdString()) / "config.ini");
    if (hold)
    {
        if (sample)
        {
            QTimer::singleShot(0, &dialog, [&] { FillSample(dialog); });
        }
        dialog.DoModal();
        return 0;
    }
    bool saved = false;
    // Once the dialog's loop runs: the controls have their final captions and
    // the list its rows.
    QTimer::singleShot(0,
        &dialog,
        [&]
        {
            if (sample)
            {
                FillSample(dialog);
            }
            if (farmView)
            {
                FillFarm(dialog,
                    *farm,
                    [&]
                    {
                        // The change's log line is posted: let it come.
                        QTimer::singleShot(500,
                            &dialog,
                            [&]
                            {
                                saved = dialog.grab().save(outputPath);
                                dialog.EndDialog(quellis::ui::kIdCancel);
                            });
                    });
                return;
            }
            if (search)
            {
                dialog.Item(quellis::resources::kIdSearch)->setFocus();
                static_cast<QAbstractButton*>(dialog.Item(quellis::resources::kIdSearch))->click();
                dialog.Window().busy.Start();
            }
            QTimer::singleShot(search ? 1500 : 300,
                &dialog,
                [&]
                {
                    saved = dialog.grab().save(outputPath);
                    dialog.EndDialog(quellis::ui::kIdCancel);
                });
        });
    dialog.DoModal();
    if (!saved)
    {
        std::fprintf(stderr, "quellis-screenshot: cannot write %s\n", output);
        return 1;
    }
    return 0;
}
