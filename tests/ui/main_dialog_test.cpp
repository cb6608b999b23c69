#include "app/captions.h"
#include "monitor/monitor_dlg.h"
#include "platform/net/default_route.h"
#include "platform/net/ipv4.h"
#include "platform/net/socket.h"
#include "platform/profile/profile.h"
#include "platform/ui/list_view.h"
#include "platform/ui/message_box.h"
#include "platform/ui/window_class.h"
#include "resources/templates/dialog_templates.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/monitor_panel_ids.h"
#include "tests/support/quellis_dlg_fixture.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace quellis::test
{
namespace
{

using namespace quellis::resources;

constexpr std::uint32_t kLoopback = 0x7F000001; // 127.0.0.1, host order

// The dialog records what reaches two of its handlers; everything else is the
// real dialog.
class ObservedDlg : public app::CQuellisDlg
{
public:
    using CQuellisDlg::CQuellisDlg;

    std::vector<int> clicks;
    int writes = 0;

protected:
    void OnCommand(int id, int code) override
    {
        if (code == ui::kBnClicked)
        {
            clicks.push_back(id);
            writes += id == kIdWriteE2 ? 1 : 0;
        }
        // A real search would broadcast on the network this test runs on;
        // these tests only check which command arrives.
        if (id != kIdSearch)
        {
            CQuellisDlg::OnCommand(id, code);
        }
    }
};

QuellisDlgFixture::Factory Observed()
{
    return [](const std::filesystem::path& config) { return std::make_unique<ObservedDlg>(config); };
}

ObservedDlg& ObservedOf(QuellisDlgFixture& fixture)
{
    return static_cast<ObservedDlg&>(fixture.Dialog());
}

// The executable's base name: the caption of the dialog's message boxes.
std::string ExecutableBaseName()
{
    return std::filesystem::read_symlink("/proc/self/exe").stem().string();
}

// Looks for the main window class as another program does; the answer comes
// from this thread's event loop, which runs meanwhile.
bool FoundFromAnotherThread()
{
    std::atomic<int> found { -1 };
    std::thread asker([&] { found = ui::FindWindowOfClass(app::kMainWindowClass) ? 1 : 0; });
    const bool answered = QuellisDlgFixture::WaitFor([&] { return found.load() >= 0; }, 10000);
    asker.join();
    return answered && found.load() == 1;
}

// The designed rectangle of a control of the main dialog: its template's
// dialog units in the dialog's own pixels.
QRect DesignedRect(const app::CQuellisDlg& dialog, int id)
{
    for (const ui::ControlTemplate& control : kMainDialog.controls)
    {
        if (control.id == id)
        {
            return dialog.DialogUnitsToPixels(control.x, control.y, control.cx, control.cy);
        }
    }
    ADD_FAILURE() << "no control " << id << " in the template";
    return {};
}

std::vector<int> TemplateIds()
{
    std::vector<int> ids;
    for (const ui::ControlTemplate& control : kMainDialog.controls)
    {
        if (control.id != ui::kIdStatic)
        {
            ids.push_back(control.id);
        }
    }
    return ids;
}

const std::set<int> kShownWithPanel = { kIdSearch,
    kIdDeviceList,
    kIdLogPane,
    kIdBusyPicture,
    kIdSelectPackage,
    kIdUpdateSelected,
    kIdUpdateAll,
    kIdGetHashRate,
    kIdRestartMiner,
    kIdRestartSystem,
    kIdSetPools,
    kIdFlashMachines,
    kIdSetTemperature,
    kIdLowTemperatureLabel,
    kIdLowTemperatureEdit,
    kIdHighTemperatureLabel,
    kIdHighTemperatureEdit };
const std::set<int> kShownWithoutPanel = { kIdSearch, kIdDeviceList, kIdLogPane, kIdBusyPicture, kIdGetHashRate };

std::set<int> Without(std::set<int> ids, int id)
{
    ids.erase(id);
    return ids;
}

struct LayoutCase
{
    std::vector<std::string_view> config;
    std::set<int> shown;
    bool panel;
};

TEST(MainDialogLayout, EachToolTypeShowsItsControlsAndOnlyThose)
{
    const LayoutCase cases[] = {
        { {}, kShownWithPanel, true }, // TOOLTYPE absent behaves as 2
        { { "TOOLTYPE=2" }, kShownWithPanel, true },
        { { "TOOLTYPE=2", "LISTEN=1" }, kShownWithPanel, true },
        { { "TOOLTYPE=1" }, kShownWithPanel, true },
        { { "TOOLTYPE=1", "LISTEN=1" }, Without(kShownWithPanel, kIdUpdateAll), true },
        { { "TOOLTYPE=0" }, kShownWithoutPanel, false },
        { { "TOOLTYPE=0", "LISTEN=1" }, kShownWithoutPanel, false },
    };
    for (const LayoutCase& layout : cases)
    {
        std::string name;
        for (const auto line : layout.config)
        {
            name += std::string(line) + " ";
        }
        SCOPED_TRACE("config: " + name);
        QuellisDlgFixture fixture;
        switch (layout.config.size())
        {
        case 0:
            fixture.Open();
            break;
        case 1:
            fixture.Open({ layout.config[0] });
            break;
        default:
            fixture.Open({ layout.config[0], layout.config[1] });
            break;
        }
        for (const int id : TemplateIds())
        {
            EXPECT_EQ(fixture.Visible(id), layout.shown.count(id) == 1) << "control " << id;
        }
        // Disabled until there is something to test or update, in every layout.
        for (const int id : { kIdLedTest, kIdSerialTest, kIdUpdateSelected, kIdUpdateAll })
        {
            EXPECT_FALSE(fixture.Enabled(id)) << "control " << id;
        }
        for (const int id : { kIdSearch, kIdSelectPackage, kIdGetHashRate, kIdRestartMiner })
        {
            EXPECT_TRUE(fixture.Enabled(id)) << "control " << id;
        }

        monitor::CDlgMonitor* panel = fixture.Dialog().SidePanel();
        ASSERT_NE(panel, nullptr);
        EXPECT_EQ(panel->isVisible(), layout.panel);
        EXPECT_EQ(panel->HasItem(kIdLanguageCheck), layout.panel);
        if (layout.panel)
        {
            EXPECT_EQ(panel->parentWidget(), &fixture.Dialog());
            EXPECT_FALSE(panel->isWindow()) << "a child of the main dialog, not a window of its own";
            // Hung from the LED test button as designed: 10 pixels to its left,
            // 25 wider and 300 taller.
            const QRect led = DesignedRect(fixture.Dialog(), kIdLedTest);
            EXPECT_EQ(panel->geometry(), QRect(led.left() - 10, led.top(), led.width() + 25, led.height() + 300));
            EXPECT_TRUE(fixture.Dialog().LanguageBoxTicked());
        }
        else
        {
            // No box to read: its readers see it unticked whatever LANG says.
            EXPECT_FALSE(fixture.Dialog().LanguageBoxTicked());
        }
        EXPECT_TRUE(fixture.Boxes().empty());
    }
}

TEST(MainDialogStartup, InitialisesStateSocketsAndControls)
{
    QuellisDlgFixture fixture;
    fixture.Open();
    app::CQuellisDlg& dialog = fixture.Dialog();

    EXPECT_EQ(fixture.Text(kIdLowTemperatureEdit), "67");
    EXPECT_EQ(fixture.Text(kIdHighTemperatureEdit), "72");
    EXPECT_EQ(dialog.FocusItem(), kIdDeviceList);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Quellis"));
    EXPECT_FALSE(dialog.windowIcon().isNull());
    ASSERT_EQ(dialog.SystemMenuItems().size(), 1u);
    EXPECT_EQ(dialog.SystemMenuItems()[0], std::make_pair(kIdmAbout, std::string("关于 Quellis(&A)...")));
    EXPECT_EQ(app::TheMainDialog(), &dialog);
    EXPECT_EQ(dialog.State().running.load(), 1);
    EXPECT_TRUE(dialog.State().replyQueue.IsInitialised());
    EXPECT_FALSE(dialog.State().commandDone.IsSet()) << "created not signalled";
    dialog.State().commandDone.Set();
    EXPECT_EQ(dialog.State().commandDone.Wait(0), sync::WaitResult::Signalled);
    EXPECT_FALSE(dialog.State().commandDone.IsSet()) << "auto-reset: one waiter takes it";
    EXPECT_TRUE(fixture.Boxes().empty());

    // The send socket broadcasts from the default route's address, or from
    // whatever the system picks when there is no default route.
    ASSERT_TRUE(dialog.State().sendSocket.IsValid());
    int broadcast = 0;
    socklen_t length = sizeof broadcast;
    ASSERT_EQ(getsockopt(dialog.State().sendSocket.Handle(), SOL_SOCKET, SO_BROADCAST, &broadcast, &length), 0);
    EXPECT_NE(broadcast, 0);
    const auto local = dialog.State().sendSocket.LocalEndpoint();
    ASSERT_TRUE(local);
    const auto expected = net::ParseIpv4(net::DefaultRouteAddress());
    if (expected)
    {
        EXPECT_EQ(local->address, *expected);
        EXPECT_NE(local->port, 0);
    }
    else
    {
        EXPECT_EQ(local->address, net::kInaddrAny);
        EXPECT_EQ(local->port, 0) << "unbound";
    }

    // The package server listens on 2425 on every local address.
    ASSERT_TRUE(dialog.State().listeningSocket.IsValid());
    const auto listening = dialog.State().listeningSocket.LocalEndpoint();
    ASSERT_TRUE(listening);
    EXPECT_EQ(listening->address, net::kInaddrAny);
    EXPECT_EQ(listening->port, protocol::kPackagePort);
    net::Socket client = net::Socket::Create(net::SocketKind::Tcp);
    EXPECT_TRUE(client.Connect({ kLoopback, protocol::kPackagePort }));
    client.Close();

    // Another instance finds the window by its class.
    EXPECT_TRUE(FoundFromAnotherThread());
}

TEST(MainDialogStartup, TeardownReleasesSocketsQueueAndWindowClass)
{
    QuellisDlgFixture fixture;
    fixture.Open();
    app::CQuellisDlg& dialog = fixture.Dialog();
    fixture.Close();

    EXPECT_EQ(app::TheMainDialog(), nullptr);
    EXPECT_EQ(dialog.State().running.load(), 0);
    EXPECT_EQ(dialog.State().monitoring.load(), 0);
    EXPECT_FALSE(dialog.State().replyQueue.IsInitialised());
    EXPECT_FALSE(dialog.State().sendSocket.IsValid());
    EXPECT_FALSE(dialog.State().listeningSocket.IsValid());
    EXPECT_FALSE(dialog.State().receiveSocket.IsValid());
    EXPECT_FALSE(FoundFromAnotherThread());
    // Nobody listens on the port any more: the next start binds it at once
    // (with address reuse, as the dialog binds it).
    net::Socket probe = net::Socket::Create(net::SocketKind::Tcp);
    ASSERT_TRUE(probe.SetReuseAddress(true));
    EXPECT_TRUE(probe.Bind({ net::kInaddrAny, protocol::kPackagePort }));
}

// A dialog destroyed while open, without its window being closed first (an
// exception path of a caller, a test that gives up): its threads end and the
// destruction returns. A receive thread left blocking would hang it for good,
// so the watchdog ends the process instead of leaving the run to hang.
TEST(MainDialogStartup, DestroyingAnOpenDialogEndsItsThreads)
{
    QuellisDlgFixture fixture;
    fixture.Open();
    ASSERT_EQ(fixture.Dialog().State().running.load(), 1);
    ASSERT_TRUE(fixture.Dialog().State().receiveSocket.IsValid());
    std::mutex lock;
    std::condition_variable done;
    bool destroyed = false;
    std::thread watchdog(
        [&]
        {
            std::unique_lock guard(lock);
            if (!done.wait_for(guard, std::chrono::seconds(30), [&] { return destroyed; }))
            {
                std::fprintf(stderr, "the dialog's destruction hung\n");
                std::_Exit(1);
            }
        });
    fixture.DestroyWithoutClosing();
    {
        std::lock_guard guard(lock);
        destroyed = true;
    }
    done.notify_all();
    watchdog.join();
    EXPECT_EQ(app::TheMainDialog(), nullptr);
    EXPECT_FALSE(FoundFromAnotherThread());
}

// Binds 2425 the way another program would, unless one already has it.
net::Socket OccupyPackagePort()
{
    net::Socket blocker = net::Socket::Create(net::SocketKind::Tcp);
    // Address reuse lets it bind past connections of earlier tests that are
    // still in TIME_WAIT; its listening still keeps every other bind out.
    if (!blocker.SetReuseAddress(true) || !blocker.Bind({ net::kInaddrAny, protocol::kPackagePort })
        || !blocker.Listen(1))
    {
        // Taken already, by another test or program: just as good.
        blocker.Close();
    }
    return blocker;
}

TEST(MainDialogStartup, PortTakenShowsOneMessageAndTheRestWorks)
{
    net::Socket blocker = OccupyPackagePort();
    QuellisDlgFixture fixture;
    fixture.Open({ "LANG=0" });
    app::CQuellisDlg& dialog = fixture.Dialog();

    ASSERT_EQ(fixture.Boxes().size(), 1u);
    EXPECT_EQ(fixture.Boxes()[0].text, "Bind TCP套接字失败，请检查！");
    EXPECT_EQ(fixture.Boxes()[0].caption, ExecutableBaseName());
    EXPECT_EQ(fixture.Boxes()[0].type, ui::kMbOk);
    EXPECT_FALSE(dialog.State().listeningSocket.IsValid());

    // Everything after the listening socket still ran.
    EXPECT_TRUE(dialog.State().sendSocket.IsValid());
    EXPECT_EQ(app::TheMainDialog(), &dialog);
    EXPECT_TRUE(dialog.State().replyQueue.IsInitialised());
    EXPECT_EQ(dialog.State().running.load(), 1);
    EXPECT_EQ(fixture.Text(kIdHighTemperatureEdit), "72");
    EXPECT_EQ(dialog.FocusItem(), kIdDeviceList);
    EXPECT_EQ(fixture.Text(kIdSearch), "Search");
    fixture.ClickPanel(kIdLanguageCheck);
    EXPECT_EQ(fixture.Text(kIdSearch), "搜索设备");
    EXPECT_EQ(fixture.Boxes().size(), 1u);
}

TEST(MainDialogStartup, BindsThePortWhileItsLastConnectionsAreInTimeWait)
{
    {
        // A connection to 2425 that this side closed first, as a finished
        // package download leaves it: its port stays in TIME_WAIT for a minute.
        net::Socket server = net::Socket::Create(net::SocketKind::Tcp);
        ASSERT_TRUE(server.SetReuseAddress(true));
        ASSERT_TRUE(server.Bind({ net::kInaddrAny, protocol::kPackagePort }));
        ASSERT_TRUE(server.Listen(1));
        net::Socket client = net::Socket::Create(net::SocketKind::Tcp);
        ASSERT_TRUE(client.Connect({ kLoopback, protocol::kPackagePort }));
        net::Socket accepted = server.Accept();
        ASSERT_TRUE(accepted.IsValid());
        accepted.Close();
        QTest::qWait(20);
        client.Close();
        server.Close();
    }
    QuellisDlgFixture fixture;
    fixture.Open();
    EXPECT_TRUE(fixture.Boxes().empty());
    EXPECT_TRUE(fixture.Dialog().State().listeningSocket.IsValid());
}

// ---- Captions and language ----

const std::vector<std::string> kChineseHeaders
    = { "序号", "IP地址", "子网掩码", "默认网关", "MAC地址", "设备运行时间", "温度", "版本", "主机名称" };
const std::vector<std::string> kEnglishHeadersAtStart
    = { "Index", "IP Addr", "SubMask", "DefaultGW", "MAC Addr", "Run Time", "Temperature", "Version", "Host Name" };
const std::vector<std::string> kEnglishHeadersAfterSwitch
    = { "Index", "IP Addr", "SubMask", "DefaultGW", "MAC Addr", "Run Time", "Temperature", "Version", "HostName" };

// The language's table is on the right controls, and the table holds the
// texts shown (spot checks where they differ from the template's captions).
const std::map<int, std::string> kChineseCaptions = { { kIdRestartMiner, "重启矿机程序" },
    { kIdExecuteMinerCommand, "执行挖矿命令" },
    { kIdMinerCommandLabel, "命令" },
    { kIdMinerParameterLabel, "参数" } };
const std::map<int, std::string> kEnglishCaptions = { { kIdRestartMiner, "Restart Mining Process" },
    { kIdHighTemperatureLabel, "HiTemp" },
    { kIdOneDCodeLabel, "One-D Code" },
    { kIdSearch, "Search" } };

void ExpectCaptions(const QuellisDlgFixture& fixture, const std::map<int, std::string>& spotChecks)
{
    const int language = spotChecks.count(kIdSearch) != 0 ? 0 : 1;
    for (const auto& [id, caption] : app::TextsFor(language).captions)
    {
        EXPECT_EQ(fixture.Text(id), caption) << "control " << id;
    }
    for (const auto& [id, caption] : spotChecks)
    {
        EXPECT_EQ(fixture.Text(id), caption) << "control " << id;
    }
}

struct LanguageCase
{
    const char* lang; // nullptr: absent
    bool chinese;
};

TEST(MainDialogLanguage, LangChoosesHeadersAndCaptionsAtStart)
{
    const LanguageCase cases[] = { { nullptr, true }, { "LANG=1", true }, { "LANG=0", false }, { "LANG=2", false } };
    for (const LanguageCase& language : cases)
    {
        SCOPED_TRACE(language.lang != nullptr ? language.lang : "LANG absent");
        QuellisDlgFixture fixture;
        if (language.lang != nullptr)
        {
            fixture.Open({ language.lang });
        }
        else
        {
            fixture.Open();
        }
        EXPECT_EQ(fixture.Headers(), language.chinese ? kChineseHeaders : kEnglishHeadersAtStart);
        ExpectCaptions(fixture, language.chinese ? kChineseCaptions : kEnglishCaptions);
        EXPECT_EQ(fixture.ColumnWidths(), std::vector<int>({ 50, 130, 100, 100, 120, 150, 50, 140, 120 }));
        // The box says "Chinese" in both languages; ticked for any LANG but 0.
        EXPECT_EQ(fixture.PanelText(kIdLanguageCheck), "Chinese");
        EXPECT_EQ(fixture.Dialog().LanguageBoxTicked(), language.lang == nullptr || language.lang[5] != '0');
        EXPECT_EQ(fixture.Dialog().Language() == app::kLanguageChinese, language.chinese);
        // Start-up reads LANG and never writes it.
        EXPECT_EQ(fixture.ConfigText().find("LANG") != std::string::npos, language.lang != nullptr);
    }
}

TEST(MainDialogLanguage, ThePanelBoxSwitchesBothWaysAndKeepsRowsAndWidths)
{
    QuellisDlgFixture fixture;
    fixture.Open({ "TOOLTYPE=2" });
    fixture.AddRow(
        { "1", "10.77.128.1", "255.255.0.0", "10.77.0.1", "A1B2C3D4E5F6", "1时00分00秒", "45", "v1.0", "矿机-1" });
    fixture.AddRow({ "2", "10.77.128.2" });
    // The operator has widened a column since the start.
    fixture.Dialog().ListView(kIdDeviceList)->SetColumnWidth(3, 77);
    const std::vector<int> widths = fixture.ColumnWidths();
    const std::vector<std::string> firstRow = fixture.Row(0);

    fixture.ClickPanel(kIdLanguageCheck); // untick: English
    EXPECT_FALSE(fixture.Dialog().LanguageBoxTicked());
    EXPECT_NE(fixture.ConfigText().find("LANG=0"), std::string::npos) << fixture.ConfigText();
    EXPECT_NE(fixture.ConfigText().find("TOOLTYPE=2"), std::string::npos);
    EXPECT_EQ(fixture.Dialog().Language(), 0);
    EXPECT_EQ(fixture.Headers(), kEnglishHeadersAfterSwitch);
    ExpectCaptions(fixture, kEnglishCaptions);
    EXPECT_EQ(fixture.PanelText(kIdLanguageCheck), "Chinese");
    EXPECT_EQ(fixture.ColumnWidths(), widths);
    ASSERT_EQ(fixture.RowCount(), 2);
    EXPECT_EQ(fixture.Row(0), firstRow);
    EXPECT_EQ(fixture.Row(1)[1], "10.77.128.2");

    fixture.ClickPanel(kIdLanguageCheck); // tick: Chinese
    EXPECT_TRUE(fixture.Dialog().LanguageBoxTicked());
    EXPECT_EQ(profile::ReadProfileInt("COMMON", "LANG", -1, fixture.ConfigPath()), 1);
    EXPECT_EQ(fixture.Dialog().Language(), 1);
    EXPECT_EQ(fixture.Headers(), kChineseHeaders);
    ExpectCaptions(fixture, kChineseCaptions);
    EXPECT_EQ(fixture.PanelText(kIdLanguageCheck), "Chinese");
    EXPECT_EQ(fixture.ColumnWidths(), widths);
    EXPECT_EQ(fixture.RowCount(), 2);
    EXPECT_TRUE(fixture.Boxes().empty());
}

TEST(MainDialogLanguage, AnEndedBlinkGivesTheButtonBackItsCaptionInTheLanguageShown)
{
    QuellisDlgFixture fixture;
    fixture.Open({ "TOOLTYPE=2", "LANG=0" });
    ASSERT_EQ(fixture.Text(kIdFlashMachines), "Flash Machine");
    // No rows: the blink sends nothing.
    fixture.Click(kIdFlashMachines);
    EXPECT_EQ(fixture.Text(kIdFlashMachines), "停止闪烁") << "Chinese in both languages";
    fixture.Click(kIdFlashMachines);
    EXPECT_EQ(fixture.Text(kIdFlashMachines), "Flash Machine");
}

TEST(MainDialogLanguage, ASwitchThatCannotBeWrittenFallsBackToTheValueReadBack)
{
    QuellisDlgFixture fixture;
    fixture.Open({ "LANG=1" });
    // config.ini is now a directory: the write fails unnoticed, the read-back
    // finds no LANG and takes the default, Chinese.
    std::filesystem::remove(fixture.ConfigPath());
    std::filesystem::create_directory(fixture.ConfigPath());
    fixture.ClickPanel(kIdLanguageCheck);
    EXPECT_EQ(fixture.Dialog().Language(), 1);
    EXPECT_EQ(fixture.Headers(), kChineseHeaders);
    EXPECT_EQ(fixture.Text(kIdSearch), "搜索设备");
    EXPECT_TRUE(fixture.Boxes().empty());
}

// ---- Layout on resizing ----

// Right and bottom edges as the system gives them: one past the last pixel.
int Right(const QRect& rect)
{
    return rect.x() + rect.width();
}
int Bottom(const QRect& rect)
{
    return rect.y() + rect.height();
}

// The rows under the lists as designed: the controls whose template bottom
// edges meet, the lowest row first, down to the busy picture's top. The
// list and the log pane stretch instead.
std::vector<std::vector<int>> DesignedRows()
{
    int pictureTop = 0;
    for (const ui::ControlTemplate& control : kMainDialog.controls)
    {
        pictureTop = control.id == kIdBusyPicture ? control.y : pictureTop;
    }
    std::map<int, std::vector<int>, std::greater<>> byBottom;
    for (const ui::ControlTemplate& control : kMainDialog.controls)
    {
        if (control.id != kIdDeviceList && control.id != kIdLogPane && control.y >= pictureTop)
        {
            byBottom[control.y + control.cy].push_back(control.id);
        }
    }
    std::vector<std::vector<int>> rows;
    for (auto& [bottom, ids] : byBottom)
    {
        rows.push_back(std::move(ids));
    }
    return rows;
}

// From the bottom up, the control whose top the next row's base line hangs
// from, and the gap: 5 pixels, 10 above the picture's row.
const std::pair<int, int> kHungFrom[] = { { kIdExecuteMinerCommand, 5 },
    { kIdHighTemperatureEdit, 5 },
    { kIdGetHashRate, 5 },
    { kIdUpdateAll, 5 },
    { kIdUpdateSelected, 5 },
    { kIdSelectPackage, 5 },
    { kIdSetIp, 10 } };

void ExpectLaidOutFor(const QuellisDlgFixture& fixture)
{
    const app::CQuellisDlg& dialog = fixture.Dialog();
    const int cx = dialog.width();
    const int cy = dialog.height();
    SCOPED_TRACE(testing::Message() << "client " << cx << " x " << cy);
    const int rowHeight = DesignedRect(dialog, kIdWriteE2).height();

    const QRect list = fixture.Rect(kIdDeviceList);
    EXPECT_EQ(list.topLeft(), DesignedRect(dialog, kIdDeviceList).topLeft());
    EXPECT_EQ(Right(list), cx - 10);
    EXPECT_EQ(list.height(), (cy - 6 * rowHeight) / 2);
    const QRect log = fixture.Rect(kIdLogPane);
    EXPECT_EQ(log.left(), DesignedRect(dialog, kIdLogPane).left());
    EXPECT_EQ(log.top(), Bottom(list) + 10);
    EXPECT_EQ(Right(log), cx - 10);
    EXPECT_EQ(log.height(), list.height());

    const std::vector<std::vector<int>> rows = DesignedRows();
    ASSERT_EQ(rows.size(), std::size(kHungFrom) + 1) << "seven rows of controls and the picture";
    EXPECT_EQ(rows.back(), std::vector<int> { kIdBusyPicture });
    int baseLine = cy - 5;
    for (std::size_t row = 0; row < rows.size(); ++row)
    {
        for (const int id : rows[row])
        {
            const QRect designed = DesignedRect(dialog, id);
            const QRect rect = fixture.Rect(id);
            EXPECT_EQ(Bottom(rect), baseLine) << "control " << id;
            EXPECT_EQ(rect.left(), designed.left()) << "control " << id;
            // The picture takes the size of the animation it shows.
            if (id != kIdBusyPicture)
            {
                EXPECT_EQ(rect.size(), designed.size()) << "control " << id;
            }
        }
        if (row < std::size(kHungFrom))
        {
            const auto [reference, gap] = kHungFrom[row];
            EXPECT_NE(std::find(rows[row].begin(), rows[row].end(), reference), rows[row].end()) << reference;
            baseLine -= DesignedRect(dialog, reference).height() + gap;
        }
    }
}

TEST(MainDialogSize, ListAndLogStretchAndTheRowsStackFromTheBottom)
{
    QuellisDlgFixture fixture;
    fixture.Open();
    app::CQuellisDlg& dialog = fixture.Dialog();
    const QSize start = dialog.size();
    const QRect panel = dialog.SidePanel()->geometry();

    for (const QSize size : { start + QSize(300, 200), start + QSize(1, 1), QSize(1600, 1000), start })
    {
        dialog.resize(size);
        QApplication::processEvents();
        ASSERT_EQ(dialog.size(), size);
        ExpectLaidOutFor(fixture);
    }
    // The extra height is split equally between the list and the log pane.
    dialog.resize(start + QSize(0, 200));
    QApplication::processEvents();
    const int startHeight = (start.height() - 6 * DesignedRect(dialog, kIdWriteE2).height()) / 2;
    const int listGrowth = fixture.Rect(kIdDeviceList).height() - startHeight;
    EXPECT_GE(listGrowth, 99);
    EXPECT_LE(listGrowth, 101);
    EXPECT_EQ(fixture.Rect(kIdLogPane).height(), fixture.Rect(kIdDeviceList).height());
    // The side panel is not one of the rows.
    EXPECT_EQ(dialog.SidePanel()->geometry(), panel);
}

TEST(MainDialogSize, MaximisingLaysOutForTheScreen)
{
    QuellisDlgFixture fixture;
    fixture.Open({ "TOOLTYPE=0" });
    app::CQuellisDlg& dialog = fixture.Dialog();
    const QSize available = QGuiApplication::primaryScreen()->availableSize();
    if (available.width() <= dialog.width() || available.height() <= dialog.height())
    {
        GTEST_SKIP() << "the offscreen screen (" << available.width() << "x" << available.height()
                     << ") is smaller than the dialog; CTest runs this with a larger one";
    }
    const QSize start = dialog.size();
    dialog.showMaximized();
    ASSERT_TRUE(QuellisDlgFixture::WaitFor([&] { return dialog.size() != start; }));
    EXPECT_GT(dialog.width(), start.width());
    EXPECT_GT(dialog.height(), start.height());
    ExpectLaidOutFor(fixture);
    dialog.showNormal();
    ASSERT_TRUE(QuellisDlgFixture::WaitFor([&] { return dialog.size() == start; }));
    ExpectLaidOutFor(fixture);
}

// ---- What assistive technologies see and do ----

QAccessibleInterface* AccessibleOf(QWidget* widget)
{
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    EXPECT_NE(accessible, nullptr);
    return accessible;
}

std::string AccessibleName(QWidget* widget)
{
    QAccessibleInterface* accessible = AccessibleOf(widget);
    return accessible != nullptr ? accessible->text(QAccessible::Name).toStdString() : std::string();
}

TEST(MainDialogAccessibility, ControlsAreNamedAndTheLanguageBoxTogglesThroughItsAction)
{
    QuellisDlgFixture fixture;
    fixture.Open();
    // Buttons and labels by their captions, edits and the panes by their
    // labels or template captions.
    const std::pair<int, std::string> names[] = { { kIdSearch, "搜索设备" },
        { kIdSetPools, "设置矿池" },
        { kIdLowTemperatureLabel, "低温" },
        { kIdLowTemperatureEdit, "低温" },
        { kIdHighTemperatureEdit, "高温" },
        { kIdDeviceList, "设备列表" },
        { kIdLogPane, "日志" },
        { kIdBusyPicture, "忙碌动画" } };
    for (const auto& [id, name] : names)
    {
        EXPECT_EQ(AccessibleName(fixture.Control(id)), name) << "control " << id;
    }

    // The list's headers and cells.
    fixture.AddRow({ "1", "10.77.128.1", "255.255.0.0" });
    QAccessibleInterface* list = AccessibleOf(fixture.Control(kIdDeviceList));
    ASSERT_NE(list, nullptr);
    QAccessibleTableInterface* table = list->tableInterface();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->columnCount(), 9);
    // The tree view lays its rows out when its loop runs.
    EXPECT_TRUE(QuellisDlgFixture::WaitFor([&] { return table->rowCount() == 1; }));
    EXPECT_EQ(table->columnDescription(8).toStdString(), "主机名称");
    QAccessibleInterface* cell = table->cellAt(0, 1);
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->text(QAccessible::Name).toStdString(), "10.77.128.1");

    // The log pane's text.
    fixture.Dialog().AppendLog(core::LogColour::Default, "1 Device 10.77.128.1 server version 1.2.15\r\n");
    QAccessibleInterface* log = AccessibleOf(fixture.Control(kIdLogPane));
    ASSERT_NE(log, nullptr);
    ASSERT_NE(log->textInterface(), nullptr);
    EXPECT_EQ(log->textInterface()->text(0, log->textInterface()->characterCount()).toStdString(),
        "1 Device 10.77.128.1 server version 1.2.15\n");

    // A screen reader's toggle of the language box is the operator's click.
    QAccessibleInterface* box = AccessibleOf(fixture.PanelControl(kIdLanguageCheck));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(QAccessible::Name).toStdString(), "Chinese");
    QAccessibleActionInterface* action = box->actionInterface();
    ASSERT_NE(action, nullptr);
    ASSERT_TRUE(action->actionNames().contains(QAccessibleActionInterface::toggleAction()));
    action->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_FALSE(box->state().checked);
    EXPECT_EQ(fixture.Dialog().Language(), 0);
    EXPECT_EQ(fixture.Text(kIdSearch), "Search");
    EXPECT_NE(fixture.ConfigText().find("LANG=0"), std::string::npos);
    // Pressing a button through its action is a click.
    QAccessibleInterface* cancel = AccessibleOf(fixture.Control(kIdCancel));
    ASSERT_NE(cancel, nullptr);
    ASSERT_NE(cancel->actionInterface(), nullptr);
    EXPECT_TRUE(cancel->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));
}

// ---- The scanner's keys ----

TEST(MainDialogScanner, EnterMovesFromQrCodeToOneDCodeAndThenWrites)
{
    QuellisDlgFixture fixture;
    fixture.Open({}, Observed());
    ObservedDlg& dialog = ObservedOf(fixture);
    // Hidden in every layout; shown here so that they can hold the focus, as
    // they would for the scanner in a layout that shows them.
    for (const int id : { kIdQrCodeEdit, kIdOneDCodeEdit })
    {
        dialog.ShowItem(id, true);
    }
    dialog.SetItemText(kIdOneDCodeEdit, "KAVDRUP0000"); // the code of the machine before
    auto* qrEdit = static_cast<QLineEdit*>(fixture.Control(kIdQrCodeEdit));
    auto* oneDEdit = static_cast<QLineEdit*>(fixture.Control(kIdOneDCodeEdit));
    QSignalSpy qrReturns(qrEdit, &QLineEdit::returnPressed);
    QSignalSpy oneDReturns(oneDEdit, &QLineEdit::returnPressed);
    dialog.SetFocusItem(kIdQrCodeEdit);

    // The scanner types each code and Enter, key after key into the focused edit.
    fixture.Type(kIdQrCodeEdit, "ZUN0001\r");
    EXPECT_EQ(dialog.FocusItem(), kIdOneDCodeEdit);
    EXPECT_EQ(fixture.SelectedText(kIdOneDCodeEdit), "KAVDRUP0000");
    EXPECT_EQ(dialog.writes, 0);
    EXPECT_EQ(qrReturns.count(), 0) << "consumed";

    fixture.Type(kIdOneDCodeEdit, "KAVDRUP0001\r");
    EXPECT_EQ(dialog.writes, 1);
    EXPECT_EQ(dialog.FocusItem(), kIdQrCodeEdit);
    EXPECT_EQ(fixture.SelectedText(kIdQrCodeEdit), "ZUN0001");
    EXPECT_EQ(oneDReturns.count(), 0) << "consumed";

    // The keypad's Enter is the same key to the scanner.
    fixture.Key(kIdQrCodeEdit, Qt::Key_Enter);
    EXPECT_EQ(dialog.FocusItem(), kIdOneDCodeEdit);
    fixture.Key(kIdOneDCodeEdit, Qt::Key_Enter);
    EXPECT_EQ(dialog.writes, 2);
    EXPECT_EQ(dialog.FocusItem(), kIdQrCodeEdit);

    // Neither Enter pressed the default button.
    EXPECT_EQ(std::count(dialog.clicks.begin(), dialog.clicks.end(), kIdSearch), 0);
    EXPECT_EQ(fixture.Text(kIdQrCodeEdit), "ZUN0001");
    EXPECT_EQ(fixture.Text(kIdOneDCodeEdit), "KAVDRUP0001");
}

TEST(MainDialogScanner, APastedQrCodeWithItsLineBreakMovesOnToTheOneDCode)
{
    QuellisDlgFixture fixture;
    fixture.Open({}, Observed());
    ObservedDlg& dialog = ObservedOf(fixture);
    for (const int id : { kIdQrCodeEdit, kIdOneDCodeEdit })
    {
        dialog.ShowItem(id, true);
    }
    auto* qrEdit = static_cast<QLineEdit*>(fixture.Control(kIdQrCodeEdit));
    dialog.SetFocusItem(kIdQrCodeEdit);
    qrEdit->insert(QStringLiteral("ZUN0002"));
    EXPECT_EQ(dialog.FocusItem(), kIdQrCodeEdit) << "no line break yet";
    QGuiApplication::clipboard()->setText(QStringLiteral("\r\n"));
    qrEdit->paste();
    EXPECT_EQ(dialog.FocusItem(), kIdOneDCodeEdit);
    EXPECT_EQ(dialog.writes, 0);
}

TEST(MainDialogScanner, ClickSelectsTheCodeAndEnterElsewherePressesSearch)
{
    QuellisDlgFixture fixture;
    fixture.Open({}, Observed());
    ObservedDlg& dialog = ObservedOf(fixture);
    for (const int id : { kIdQrCodeEdit, kIdOneDCodeEdit })
    {
        dialog.ShowItem(id, true);
    }
    dialog.SetItemText(kIdOneDCodeEdit, "KAVDRUP0002");
    auto* oneDEdit = static_cast<QLineEdit*>(fixture.Control(kIdOneDCodeEdit));
    // A click puts the caret where it lands; its release selects the whole
    // code, so that the next scan replaces it. So does the next click.
    for (int click = 0; click < 2; ++click)
    {
        oneDEdit->deselect();
        QTest::mouseClick(oneDEdit, Qt::LeftButton, {}, QPoint(5, oneDEdit->height() / 2));
        EXPECT_EQ(fixture.SelectedText(kIdOneDCodeEdit), "KAVDRUP0002") << "click " << click;
    }
    EXPECT_EQ(dialog.writes, 0);
    // Other keys in the code edits are typed as usual, over the selection.
    fixture.Key(kIdOneDCodeEdit, Qt::Key_X);
    EXPECT_EQ(fixture.Text(kIdOneDCodeEdit), "x");

    // Enter in any other edit goes to the dialog: the default button, Search.
    dialog.SetFocusItem(kIdLowTemperatureEdit);
    fixture.Key(kIdLowTemperatureEdit, Qt::Key_Return);
    EXPECT_EQ(std::count(dialog.clicks.begin(), dialog.clicks.end(), kIdSearch), 1);
    EXPECT_EQ(dialog.writes, 0);
}

} // namespace
} // namespace quellis::test
