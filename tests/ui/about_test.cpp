#include "app/about_dlg.h"
#include "app/quellis_dlg.h"
#include "controls/hyper_link.h"
#include "platform/ui/message_box.h"
#include "platform/version/version_record.h"
#include "resources/templates/about_dialog_ids.h"
#include "resources/templates/dialog_templates.h"
#include "resources/templates/main_dialog_ids.h"
#include "tests/support/quellis_dlg_fixture.h"
#include "tests/support/temp_dir.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// This program's product version differs from its file version, as in a
// release whose program file was rebuilt fewer times than the product was:
// the About box must show the product version.
QUELLIS_DEFINE_VERSION_RECORD(1, 0, 2, 9, 1, 0, 2, 15);

namespace quellis
{
namespace
{

// What the shell was asked to open.
class ShellOpenRecorder
{
public:
    ShellOpenRecorder()
    {
        ui::SetShellOpenHook(
            [this](const std::string& target)
            {
                opened.push_back(target);
                return true;
            });
    }
    ~ShellOpenRecorder() { ui::SetShellOpenHook({}); }
    ShellOpenRecorder(const ShellOpenRecorder&) = delete;
    ShellOpenRecorder& operator=(const ShellOpenRecorder&) = delete;

    std::vector<std::string> opened;
};

// A widget's pixels as it paints itself, counted by colour.
struct Inks
{
    int blue = 0;
    int red = 0;
    int longestBlueRun = 0; // the longest horizontal run of blue pixels
};

Inks InksOf(QWidget* widget)
{
    const QImage image = widget->grab().toImage();
    Inks inks;
    for (int y = 0; y < image.height(); ++y)
    {
        int run = 0;
        for (int x = 0; x < image.width(); ++x)
        {
            const QColor pixel = image.pixelColor(x, y);
            const bool blue = pixel.blue() > 200 && pixel.red() < 80 && pixel.green() < 80;
            inks.blue += blue ? 1 : 0;
            inks.red += pixel.red() > 200 && pixel.blue() < 80 && pixel.green() < 80 ? 1 : 0;
            run = blue ? run + 1 : 0;
            inks.longestBlueRun = std::max(inks.longestBlueRun, run);
        }
    }
    return inks;
}

// The moves go through the system's delivery: to the window under the
// cursor, or to the widget that holds the mouse.
void MoveTo(QWidget* widget, const QPoint& point)
{
    QTest::mouseMove(widget, point);
}

// ---- The hyperlink control on a plain dialog ----

class HyperLinkTest : public testing::Test
{
protected:
    void SetUp() override
    {
        dialog_ = std::make_unique<QDialog>();
        dialog_->setFont(QFont(QStringLiteral("DejaVu Sans"), 14));
        dialog_->resize(400, 120);
        label_ = new QLabel(QStringLiteral("https://quellis.example.com"), dialog_.get());
        label_->setGeometry(10, 10, 330, 30);
        other_ = new QLabel(QStringLiteral("other"), dialog_.get());
        other_->setGeometry(10, 70, 100, 30);
        dialog_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    }

    void TearDown() override
    {
        // Away from every window, so that the next test starts without a hover.
        QCursor::setPos(-1000, -1000);
        QApplication::processEvents();
    }

    std::unique_ptr<QDialog> dialog_;
    QLabel* label_ = nullptr;
    QLabel* other_ = nullptr;
};

TEST_F(HyperLinkTest, AttachTakesOneLabelAtATime)
{
    controls::CHyperLink link;
    EXPECT_FALSE(link.Attach(nullptr));
    ASSERT_TRUE(link.Attach(label_));
    EXPECT_FALSE(link.Attach(label_));
    EXPECT_FALSE(link.Attach(other_));
    EXPECT_EQ(link.Window(), label_);
    EXPECT_EQ(label_->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_FALSE(other_->testAttribute(Qt::WA_SetCursor)); // the refused label is untouched

    EXPECT_EQ(link.Detach(), label_);
    EXPECT_EQ(link.Detach(), nullptr);
    EXPECT_TRUE(link.Attach(other_));
}

TEST_F(HyperLinkTest, HoverPaintsRedAndLeavingPaintsBlueAgain)
{
    controls::CHyperLink link;
    ASSERT_TRUE(link.Attach(label_));
    Inks inks = InksOf(label_);
    EXPECT_GT(inks.blue, 50);
    EXPECT_EQ(inks.red, 0);
    // Underlined: one unbroken blue line under most of the text.
    EXPECT_GE(inks.longestBlueRun, QFontMetrics(dialog_->font()).horizontalAdvance(label_->text()) * 9 / 10);

    MoveTo(label_, QPoint(20, 15));
    EXPECT_TRUE(link.IsHovering());
    EXPECT_EQ(QWidget::mouseGrabber(), label_);
    inks = InksOf(label_);
    EXPECT_GT(inks.red, 50);
    EXPECT_EQ(inks.blue, 0);

    // The rectangle's right and bottom edges still count as over the link.
    MoveTo(label_, QPoint(label_->width(), label_->height()));
    EXPECT_TRUE(link.IsHovering());
    // Held, the mouse's moves outside come to the link, which lets go.
    MoveTo(label_, QPoint(label_->width() + 1, 15));
    EXPECT_FALSE(link.IsHovering());
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    inks = InksOf(label_);
    EXPECT_GT(inks.blue, 50);
    EXPECT_EQ(inks.red, 0);
}

TEST_F(HyperLinkTest, LosingTheMouseEndsTheHover)
{
    controls::CHyperLink link;
    ASSERT_TRUE(link.Attach(label_));
    MoveTo(label_, QPoint(20, 15));
    ASSERT_TRUE(link.IsHovering());

    other_->grabMouse();
    EXPECT_FALSE(link.IsHovering());
    EXPECT_EQ(InksOf(label_).red, 0);
    other_->releaseMouse();

    // Over the link again, it takes the mouse back; hidden, it lets go.
    MoveTo(label_, QPoint(25, 15));
    EXPECT_EQ(QWidget::mouseGrabber(), label_);
    label_->hide();
    EXPECT_FALSE(link.IsHovering());
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
}

TEST_F(HyperLinkTest, LeftClickOpensTheTextCutTo31BytesThroughTheShell)
{
    const struct
    {
        const char* text;
        const char* opened;
    } cases[] = {
        { "https://quellis.example.com", "https://quellis.example.com" },
        { "https://quellis.example.com/downloads/latest", "https://quellis.example.com/dow" },
        // Twenty double-byte characters: fifteen fit, the sixteenth would be cut in half.
        { "矿机管理工具官方网站下载页面与使用说明书", "矿机管理工具官方网站下载页面与" },
    };
    for (const auto& c : cases)
    {
        ShellOpenRecorder shell;
        controls::CHyperLink link;
        label_->setText(QString::fromUtf8(c.text));
        ASSERT_TRUE(link.Attach(label_));
        QTest::mouseClick(label_, Qt::RightButton, {}, QPoint(20, 15));
        QTest::mouseClick(label_, Qt::LeftButton, {}, QPoint(20, 15));
        EXPECT_EQ(shell.opened, std::vector<std::string> { c.opened }) << c.text;
    }

    // A target of its own is opened instead of the text.
    ShellOpenRecorder shell;
    controls::CHyperLink link;
    ASSERT_TRUE(link.Attach(label_));
    link.SetLinkTarget("https://quellis.example.com/about");
    QTest::mouseClick(label_, Qt::LeftButton, {}, QPoint(20, 15));
    EXPECT_EQ(shell.opened, std::vector<std::string> { "https://quellis.example.com/about" });
}

TEST_F(HyperLinkTest, DetachAndTheLinksOwnEndGiveTheLabelBack)
{
    ShellOpenRecorder shell;
    auto link = std::make_unique<controls::CHyperLink>();
    for (const bool detach : { true, false })
    {
        ASSERT_TRUE(link->Attach(label_));
        // A move to where the cursor already is would be no move at all.
        MoveTo(label_, QPoint(detach ? 20 : 30, 15));
        ASSERT_TRUE(link->IsHovering());
        if (detach)
        {
            EXPECT_EQ(link->Detach(), label_);
        }
        else
        {
            link.reset();
        }
        EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
        EXPECT_FALSE(label_->testAttribute(Qt::WA_SetCursor));
        const Inks inks = InksOf(label_);
        EXPECT_EQ(inks.blue + inks.red, 0); // the label's own black text
    }
    MoveTo(label_, QPoint(25, 15));
    QTest::mouseClick(label_, Qt::LeftButton, {}, QPoint(25, 15));
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    EXPECT_TRUE(shell.opened.empty());
}

TEST_F(HyperLinkTest, DestroyingTheDialogWhileHoveredIsSafe)
{
    controls::CHyperLink link;
    ASSERT_TRUE(link.Attach(label_));
    MoveTo(label_, QPoint(20, 15));
    ASSERT_TRUE(link.IsHovering());

    dialog_.reset(); // the label goes with it
    EXPECT_EQ(link.Window(), nullptr);
    EXPECT_FALSE(link.IsHovering());
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    EXPECT_EQ(link.Detach(), nullptr);
    QLabel label(QStringLiteral("https://quellis.example.com"));
    EXPECT_TRUE(link.Attach(&label));
}

// ---- The About box ----

std::string TemplateText(int id)
{
    for (const ui::ControlTemplate& control : resources::kAboutDialog.controls)
    {
        if (control.id == id)
        {
            return control.caption;
        }
    }
    return {};
}

// An About box that reads another program file than the running one.
class AboutOf : public app::CAboutDlg
{
public:
    explicit AboutOf(std::filesystem::path file)
        : app::CAboutDlg(nullptr)
        , file_(std::move(file))
    {
    }

protected:
    [[nodiscard]] std::filesystem::path ProgramFile() const override { return file_; }

private:
    std::filesystem::path file_;
};

TEST(AboutBox, VersionTextIsTheProductVersionOfTheProgramFile)
{
    // Each part is a 16-bit word without sign, the first one in the high half.
    EXPECT_EQ(
        app::AboutVersionText(version::MakeFixedFileInfo(1, 0, 2, 9, 7, 65535, 9, 0x8000)), "Quellis 7.65535.9.32768");

    app::CAboutDlg about(nullptr);
    about.Create(nullptr);
    EXPECT_EQ(about.ItemText(resources::kIdAboutVersion), "Quellis 1.0.2.15");
    EXPECT_EQ(about.windowTitle().toStdString(), "About Quellis");

    // Without a path or a record the name stays as the template has it.
    test::TempDir dir;
    dir.Write("not-a-program", "[COMMON]\r\n");
    for (const std::filesystem::path& file :
        { std::filesystem::path(), dir / "not-a-program", dir / "missing", dir.Path() })
    {
        AboutOf other(file);
        other.Create(nullptr);
        EXPECT_EQ(other.ItemText(resources::kIdAboutVersion), "Quellis") << file;
    }
}

// An update replaces the program file while the program runs (a new file
// renamed over it), or removes it: the About box still shows the version of
// the program that runs.
TEST(AboutBox, VersionIsThatOfTheRunningProgramAfterItsFileIsReplaced)
{
    test::TempDir dir;
    const std::filesystem::path program = dir / "quellis";
    std::filesystem::copy_file(QUELLIS_ABOUT_VERSION_PROGRAM, program);
    QProcess process;
    process.start(QString::fromStdString(program.string()), {});
    ASSERT_TRUE(process.waitForStarted(10000));
    const auto answer = [&process]() -> std::string
    {
        while (!process.canReadLine())
        {
            if (!process.waitForReadyRead(10000))
            {
                return "(no answer)";
            }
        }
        return process.readLine().trimmed().toStdString();
    };
    ASSERT_EQ(answer(), "ready");
    process.write("version\n");
    EXPECT_EQ(answer(), "Quellis 3.1.4.1") << "as started";

    // The newer program is this test's own file, with another version.
    std::filesystem::copy_file("/proc/self/exe", dir / "newer");
    std::filesystem::rename(dir / "newer", program);
    process.write("version\n");
    EXPECT_EQ(answer(), "Quellis 3.1.4.1") << "replaced";

    std::filesystem::remove(program);
    process.write("version\n");
    EXPECT_EQ(answer(), "Quellis 3.1.4.1") << "removed";

    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(10000));
}

TEST(AboutBox, CopyrightFollowsTheLanguageBoxOfTheSidePanel)
{
    const std::string chinese = TemplateText(resources::kIdAboutCopyright);
    ASSERT_NE(chinese, app::kEnglishCopyright);
    const struct
    {
        std::string_view toolType;
        std::string_view language;
        std::string_view copyright;
    } cases[] = {
        { "TOOLTYPE=2", "LANG=1", chinese },
        { "TOOLTYPE=2", "LANG=0", app::kEnglishCopyright },
        { "TOOLTYPE=1", "LANG=0", app::kEnglishCopyright },
        // Without a side panel there is no ticked box, whatever LANG says.
        { "TOOLTYPE=0", "LANG=1", app::kEnglishCopyright },
    };
    for (const auto& c : cases)
    {
        test::QuellisDlgFixture fixture;
        fixture.Open({ c.toolType, c.language });
        ASSERT_FALSE(testing::Test::HasFatalFailure());
        app::CAboutDlg about(&fixture.Dialog());
        about.Create(nullptr);
        EXPECT_EQ(about.ItemText(resources::kIdAboutCopyright), c.copyright) << c.toolType << " " << c.language;
    }
}

TEST(AboutBox, SystemMenuItem16OpensTheBoxModally)
{
    test::QuellisDlgFixture fixture;
    fixture.Open({ "TOOLTYPE=2", "LANG=1" });
    ASSERT_FALSE(testing::Test::HasFatalFailure());
    struct
    {
        bool modal = false;
        bool activeModal = false;
        std::string version;
    } shown;
    // Closes the box from inside its own loop, once it is up.
    QTimer closer;
    QObject::connect(&closer,
        &QTimer::timeout,
        &closer,
        [&]
        {
            for (QWidget* widget : QApplication::topLevelWidgets())
            {
                auto* about = qobject_cast<app::CAboutDlg*>(widget);
                if (about != nullptr && about->isVisible())
                {
                    shown = { about->isModal(),
                        QApplication::activeModalWidget() == about,
                        about->ItemText(resources::kIdAboutVersion) };
                    about->EndDialog(ui::kIdOk);
                    closer.stop();
                }
            }
        });
    closer.start(10);
    fixture.Dialog().SendSystemCommand(resources::kIdmAbout);
    closer.stop();
    EXPECT_TRUE(shown.modal);
    EXPECT_TRUE(shown.activeModal);
    EXPECT_EQ(shown.version, "Quellis 1.0.2.15");
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST(AboutBox, LinkOpensTheMakersAddressAndClosingWhileHoveredIsSafe)
{
    ShellOpenRecorder shell;
    auto about = std::make_unique<app::CAboutDlg>(nullptr);
    about->Create(nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(about.get()));
    auto* link = qobject_cast<QLabel*>(about->Item(resources::kIdAboutLink));
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    const QPoint onText(5, link->height() / 2);
    QTest::mouseClick(link, Qt::LeftButton, {}, onText);
    EXPECT_EQ(shell.opened, std::vector<std::string> { TemplateText(resources::kIdAboutLink) });

    MoveTo(link, onText);
    ASSERT_EQ(QWidget::mouseGrabber(), link);
    about->EndDialog(ui::kIdOk);
    about.reset();
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    QCursor::setPos(-1000, -1000);
    QApplication::processEvents();
}

} // namespace
} // namespace quellis
