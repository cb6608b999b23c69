#include "platform/ui/dialog.h"
#include "platform/ui/message_box.h"
#include "platform/ui/window_call.h"
#include "platform/ui/window_class.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace quellis::ui
{
namespace
{

constexpr int kIdButton = 10;
constexpr int kIdEdit = 11;
constexpr int kIdHidden = 12;
constexpr int kIdDisabled = 13;
constexpr int kIdRadioA1 = 20;
constexpr int kIdRadioA2 = 21;
constexpr int kIdRadioB1 = 22;
constexpr int kIdRadioB2 = 23;
constexpr int kIdCheck = 24;
constexpr int kIdNamedEdit = 25;

constexpr ControlTemplate kControls[] = {
    { kIdOk, ControlKind::DefPushButton, "OK", 10, 80, 50, 14 },
    { kIdButton, ControlKind::PushButton, "按钮", 70, 80, 50, 14 },
    { kIdStatic, ControlKind::Label, "Name:", 10, 10, 30, 8 },
    { kIdEdit, ControlKind::Edit, "", 45, 8, 80, 12, kAutoHScroll },
    { kIdHidden, ControlKind::PushButton, "hidden", 130, 80, 50, 14, kHidden },
    { kIdDisabled, ControlKind::PushButton, "disabled", 130, 60, 50, 14, kDisabled },
    { kIdRadioA1, ControlKind::RadioButton, "A1", 10, 30, 40, 10, kGroup },
    { kIdRadioA2, ControlKind::RadioButton, "A2", 10, 42, 40, 10 },
    { kIdRadioB1, ControlKind::RadioButton, "B1", 60, 30, 40, 10, kGroup },
    { kIdRadioB2, ControlKind::RadioButton, "B2", 60, 42, 40, 10 },
    { kIdCheck, ControlKind::CheckBox, "check", 110, 30, 40, 10, kGroup },
    { kIdNamedEdit, ControlKind::Edit, "account", 110, 45, 60, 12 },
};

constexpr DialogTemplate kTemplate = {
    900, "Test dialog", 200, 100, "MS Shell Dlg", 9, kDialogSysMenu | kDialogMinimizeBox | kDialogMaximizeBox, kControls
};

// Records what its handlers receive.
class RecordingDialog : public Dialog
{
public:
    RecordingDialog()
        : Dialog(kTemplate)
    {
    }

    void Open()
    {
        Create(nullptr);
        QApplication::processEvents();
    }

    std::vector<std::pair<int, int>> commands;
    std::vector<int> timers;
    std::vector<std::tuple<std::uint32_t, std::uintptr_t, std::intptr_t>> messages;
    std::vector<QSize> sizes;
    std::vector<InputMessage> input;
    std::vector<int> systemCommands;
    bool consumeEnter = false;
    bool initialised = false;
    int cancels = 0;

protected:
    bool OnInitDialog() override
    {
        initialised = HasItem(kIdEdit);
        AppendSystemMenuItem(16, "About");
        return true;
    }
    void OnCommand(int id, int code) override
    {
        commands.emplace_back(id, code);
        Dialog::OnCommand(id, code);
    }
    void OnTimer(int id) override { timers.push_back(id); }
    bool OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        messages.emplace_back(message, wParam, lParam);
        return true;
    }
    void OnSize(int cx, int cy) override { sizes.emplace_back(cx, cy); }
    bool PreTranslateMessage(const InputMessage& message) override
    {
        input.push_back(message);
        return consumeEnter && message.kind == InputMessage::Kind::KeyDown && message.key == Qt::Key_Return;
    }
    void OnSysCommand(int id) override { systemCommands.push_back(id); }
    void OnCancel() override
    {
        ++cancels;
        Dialog::OnCancel();
    }
};

void SpinUntil(const std::function<bool()>& done)
{
    // Up to ten seconds of the UI thread's event loop.
    EXPECT_TRUE(QTest::qWaitFor(done, 10000));
}

TEST(DialogUnits, ConvertWithTheFontsBaseUnitsRounded)
{
    const BaseUnits units { 7, 15 };
    EXPECT_EQ(DialogUnitsToPixelsX(587, units), 1027); // 587 * 7 / 4 = 1027.25
    EXPECT_EQ(DialogUnitsToPixelsY(333, units), 624); // 333 * 15 / 8 = 624.375
    EXPECT_EQ(DialogUnitsToPixelsX(2, BaseUnits { 6, 13 }), 3);
    EXPECT_EQ(MulDivRounded(-5, 3, 2), -8);

    RecordingDialog dialog;
    dialog.Open();
    const BaseUnits base = dialog.Units();
    ASSERT_GT(base.x, 0);
    ASSERT_GT(base.y, 0);
    EXPECT_EQ(dialog.size(), QSize(DialogUnitsToPixelsX(200, base), DialogUnitsToPixelsY(100, base)));
    EXPECT_EQ(dialog.ItemRect(kIdEdit), dialog.DialogUnitsToPixels(45, 8, 80, 12));
}

TEST(Dialog, CreatesTheTemplatesControlsWithTheirStates)
{
    RecordingDialog dialog;
    dialog.Open();
    EXPECT_TRUE(dialog.initialised);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Test dialog"));
    EXPECT_EQ(dialog.ItemText(kIdButton), "按钮");
    EXPECT_FALSE(dialog.IsItemVisible(kIdHidden));
    EXPECT_TRUE(dialog.IsItemVisible(kIdButton));
    EXPECT_FALSE(dialog.IsItemEnabled(kIdDisabled));
    EXPECT_FALSE(dialog.HasItem(kIdStatic));
    // An edit is named for screen readers by the label before it, or by its
    // template caption, which is not its text: edits start empty.
    EXPECT_EQ(dialog.Item(kIdEdit)->accessibleName(), QStringLiteral("Name:"));
    EXPECT_EQ(dialog.Item(kIdNamedEdit)->accessibleName(), QStringLiteral("account"));
    EXPECT_EQ(dialog.ItemText(kIdNamedEdit), "");

    dialog.ShowItem(kIdHidden, true);
    dialog.EnableItem(kIdDisabled, true);
    EXPECT_TRUE(dialog.IsItemVisible(kIdHidden));
    EXPECT_TRUE(dialog.IsItemEnabled(kIdDisabled));
}

TEST(Dialog, RadioGroupsAreExclusiveWithinAGroupOnly)
{
    RecordingDialog dialog;
    dialog.Open();
    QTest::mouseClick(dialog.Item(kIdRadioA1), Qt::LeftButton);
    QTest::mouseClick(dialog.Item(kIdRadioB2), Qt::LeftButton);
    EXPECT_EQ(dialog.IsButtonChecked(kIdRadioA1), kChecked);
    EXPECT_EQ(dialog.IsButtonChecked(kIdRadioB2), kChecked);
    QTest::mouseClick(dialog.Item(kIdRadioA2), Qt::LeftButton);
    EXPECT_EQ(dialog.IsButtonChecked(kIdRadioA1), kUnchecked);
    EXPECT_EQ(dialog.IsButtonChecked(kIdRadioA2), kChecked);
    EXPECT_EQ(dialog.IsButtonChecked(kIdRadioB2), kChecked);
    // A check box after the groups is not drawn into them.
    QTest::mouseClick(dialog.Item(kIdCheck), Qt::LeftButton);
    EXPECT_EQ(dialog.IsButtonChecked(kIdCheck), kChecked);
    EXPECT_EQ(dialog.IsButtonChecked(kIdRadioB2), kChecked);

    // A screen reader announces each kind as what it is, and choosing a radio
    // button through its action keeps the group's rule.
    for (const auto& [id, role] : { std::pair { kIdRadioA1, QAccessible::RadioButton },
             std::pair { kIdRadioB2, QAccessible::RadioButton },
             std::pair { kIdCheck, QAccessible::CheckBox } })
    {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(dialog.Item(id));
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->role(), role) << "control " << id;
    }
    QAccessibleInterface* a1 = QAccessible::queryAccessibleInterface(dialog.Item(kIdRadioA1));
    ASSERT_NE(a1->actionInterface(), nullptr);
    ASSERT_TRUE(a1->actionInterface()->actionNames().contains(QAccessibleActionInterface::toggleAction()));
    a1->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_EQ(dialog.IsButtonChecked(kIdRadioA1), kChecked);
    EXPECT_EQ(dialog.IsButtonChecked(kIdRadioA2), kUnchecked);
    EXPECT_EQ(dialog.IsButtonChecked(kIdRadioB2), kChecked);
}

TEST(Dialog, CommandsCarryTheControlIdAndKind)
{
    RecordingDialog dialog;
    dialog.Open();
    QTest::mouseClick(dialog.Item(kIdButton), Qt::LeftButton);
    dialog.SetItemText(kIdEdit, "typed");
    ASSERT_EQ(dialog.commands.size(), 2u);
    EXPECT_EQ(dialog.commands[0], std::make_pair(kIdButton, kBnClicked));
    EXPECT_EQ(dialog.commands[1], std::make_pair(kIdEdit, kEnChange));
}

TEST(Dialog, WorkerThreadsChangeControlsThroughWindowCalls)
{
    RecordingDialog dialog;
    dialog.Open();
    std::atomic<bool> done { false };
    std::string readBack;
    sync::Thread worker;
    ASSERT_TRUE(worker.Start(
        [&]
        {
            dialog.SetItemText(kIdEdit, "from a worker");
            dialog.EnableItem(kIdButton, false);
            dialog.CheckButton(kIdCheck, kChecked);
            readBack = dialog.ItemText(kIdEdit);
            done = true;
        }));
    SpinUntil([&] { return done.load(); });
    worker.Join();
    EXPECT_EQ(readBack, "from a worker");
    EXPECT_FALSE(dialog.IsItemEnabled(kIdButton));
    EXPECT_EQ(dialog.IsButtonChecked(kIdCheck), kChecked);
}

TEST(Dialog, TimersFireByIdUntilKilled)
{
    RecordingDialog dialog;
    dialog.Open();
    dialog.SetTimer(1000, 5);
    dialog.SetTimer(1001, 5);
    SpinUntil([&] { return dialog.timers.size() >= 4; });
    dialog.KillTimer(1000);
    dialog.KillTimer(1001);
    EXPECT_FALSE(dialog.HasTimer(1000));
    const auto seen = dialog.timers.size();
    EXPECT_NE(std::count(dialog.timers.begin(), dialog.timers.end(), 1000), 0);
    EXPECT_NE(std::count(dialog.timers.begin(), dialog.timers.end(), 1001), 0);
    QTest::qWait(30);
    EXPECT_EQ(dialog.timers.size(), seen);
}

TEST(Dialog, PostedMessagesArriveOnTheUiThreadInOrder)
{
    RecordingDialog dialog;
    dialog.Open();
    std::thread poster(
        [&]
        {
            dialog.PostMessage(kWmUser + 100, 2, 0);
            dialog.PostMessage(kWmUser + 101, 7, 32);
        });
    poster.join();
    EXPECT_TRUE(dialog.messages.empty()); // posted, not sent
    SpinUntil([&] { return dialog.messages.size() == 2; });
    ASSERT_EQ(dialog.messages.size(), 2u);
    EXPECT_EQ(dialog.messages[0], std::make_tuple(1124u, std::uintptr_t { 2 }, std::intptr_t { 0 }));
    EXPECT_EQ(dialog.messages[1], std::make_tuple(1125u, std::uintptr_t { 7 }, std::intptr_t { 32 }));
}

TEST(Dialog, SizeMessagesComeOnlyWithAChangeOfSize)
{
    RecordingDialog dialog;
    dialog.Open();
    EXPECT_TRUE(dialog.sizes.empty());
    dialog.resize(dialog.size() + QSize(40, 30));
    ASSERT_EQ(dialog.sizes.size(), 1u);
    EXPECT_EQ(dialog.sizes[0], dialog.size());
}

TEST(Dialog, PreTranslateSeesInputFirstAndMayConsumeIt)
{
    RecordingDialog dialog;
    dialog.Open();
    auto* edit = static_cast<QLineEdit*>(dialog.Item(kIdEdit));
    int returns = 0;
    QObject::connect(edit, &QLineEdit::returnPressed, [&] { ++returns; });

    dialog.consumeEnter = true;
    QTest::keyClick(edit, Qt::Key_Return);
    ASSERT_EQ(dialog.input.size(), 1u);
    EXPECT_EQ(dialog.input[0].controlId, kIdEdit);
    EXPECT_EQ(dialog.input[0].key, Qt::Key_Return);
    EXPECT_EQ(returns, 0);
    EXPECT_TRUE(dialog.commands.empty());

    QTest::mouseClick(edit, Qt::LeftButton);
    EXPECT_EQ(dialog.input.back().kind, InputMessage::Kind::LeftButtonUp);
    EXPECT_EQ(dialog.input.back().controlId, kIdEdit);

    // Not consumed: the edit sees it, and the dialog presses its default button.
    dialog.consumeEnter = false;
    const auto seen = dialog.input.size();
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(dialog.input.size(), seen + 1); // once, not again for the dialog it passes on to
    EXPECT_EQ(returns, 1);
    ASSERT_FALSE(dialog.commands.empty());
    EXPECT_EQ(dialog.commands.back(), std::make_pair(kIdOk, kBnClicked));
}

TEST(Dialog, PreTranslateSeesEveryOneOfConsecutiveEventsToOneControl)
{
    // Events sent one after the other from one place, as the window system
    // sends a scanner's keys or a user's clicks, may each be made at the
    // address of the one before: each is its own message all the same.
    RecordingDialog dialog;
    dialog.Open();
    auto* edit = static_cast<QLineEdit*>(dialog.Item(kIdEdit));
    dialog.consumeEnter = true;
    for (int press = 0; press < 3; ++press)
    {
        QTest::keyClick(edit, Qt::Key_Return);
    }
    for (int click = 0; click < 2; ++click)
    {
        QTest::mouseClick(edit, Qt::LeftButton);
    }
    // Keys as the window system delivers them: to the window, which hands
    // each to its focused control.
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    edit->setFocus();
    for (int press = 0; press < 3; ++press)
    {
        QTest::keyClick(dialog.windowHandle(), Qt::Key_Return);
    }
    ASSERT_EQ(dialog.input.size(), 8u);
    for (std::size_t i = 0; i < dialog.input.size(); ++i)
    {
        const bool click = i == 3 || i == 4;
        EXPECT_EQ(dialog.input[i].controlId, kIdEdit) << i;
        EXPECT_EQ(dialog.input[i].kind, click ? InputMessage::Kind::LeftButtonUp : InputMessage::Kind::KeyDown) << i;
    }
    EXPECT_TRUE(dialog.commands.empty()) << "every Enter was consumed";
}

TEST(Dialog, EscapeCancelsAndF1ChoosesTheSystemMenuItem)
{
    RecordingDialog dialog;
    dialog.Open();
    QTest::keyClick(&dialog, Qt::Key_F1);
    ASSERT_EQ(dialog.systemCommands.size(), 1u);
    EXPECT_EQ(dialog.systemCommands[0], 16);

    QTimer::singleShot(0, &dialog, [&] { QTest::keyClick(dialog.Item(kIdButton), Qt::Key_Escape); });
    EXPECT_EQ(dialog.DoModal(), kIdCancel);
    EXPECT_EQ(dialog.cancels, 1);
}

TEST(MessageBoxHook, AWorkerWaitsForTheAnswerGivenOnTheUiThread)
{
    std::vector<MessageBoxRequest> shown;
    SetMessageBoxHook(
        [&](const MessageBoxRequest& request)
        {
            EXPECT_TRUE(OnUiThread());
            shown.push_back(request);
            return kAnswerYes;
        });
    std::atomic<int> answer { 0 };
    sync::Thread worker;
    ASSERT_TRUE(worker.Start([&] { answer = ShowMessageBox(nullptr, "确认？", "Question", kMbYesNo); }));
    JoinServingCalls(worker);
    SetMessageBoxHook({});
    EXPECT_EQ(answer.load(), kAnswerYes);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "确认？");
    EXPECT_EQ(shown[0].caption, "Question");
    EXPECT_EQ(shown[0].type, kMbYesNo);
    // Without a caption a box carries the application's name.
    SetMessageBoxHook(
        [&](const MessageBoxRequest& request)
        {
            shown.push_back(request);
            return kAnswerOk;
        });
    ShowMessageBox(nullptr, "text");
    SetMessageBoxHook({});
    EXPECT_EQ(shown.back().caption, ApplicationName());
}

// Another program's view of a registered window: it asks from a thread of its
// own, and this thread's event loop answers.
TEST(WindowClass, ARegisteredWindowAnswersFindAndPostUntilUnregistered)
{
    const std::string name = "QuellisTest" + std::to_string(getpid());
    const auto answered = [](const std::function<bool()>& ask)
    {
        std::atomic<int> answer { -1 };
        std::thread asker([&] { answer = ask() ? 1 : 0; });
        SpinUntil([&] { return answer.load() >= 0; });
        asker.join();
        return answer.load() == 1;
    };
    RecordingDialog dialog;
    dialog.Open();
    WindowClassServer server;
    EXPECT_FALSE(answered([&] { return FindWindowOfClass(name); }));
    ASSERT_TRUE(server.Register(name, &dialog));
    EXPECT_TRUE(answered([&] { return FindWindowOfClass(name); }));
    EXPECT_TRUE(answered([&] { return PostMessageToClass(name, kWmUser + 5, 9, -3); }));
    SpinUntil([&] { return !dialog.messages.empty(); });
    EXPECT_EQ(dialog.messages.back(), std::make_tuple(kWmUser + 5, std::uintptr_t { 9 }, std::intptr_t { -3 }));
    server.Unregister();
    EXPECT_FALSE(answered([&] { return FindWindowOfClass(name); }));

    // The socket file of a program that ended without removing it: nobody
    // answers there, and the next window takes the class over.
    const std::string path = WindowClassSocketPath(name);
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    close(stale);
    EXPECT_TRUE(server.Register(name, &dialog));
    EXPECT_TRUE(answered([&] { return FindWindowOfClass(name); }));
}

} // namespace
} // namespace quellis::ui
