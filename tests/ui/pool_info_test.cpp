// The pool settings dialog on Qt's offscreen platform: what it shows from
// [POOLS], what OK stores and hands over, and the hidden pool file generator.
#include "miner/pool_info_dlg.h"
#include "platform/ui/message_box.h"
#include "resources/templates/pool_info_ids.h"
#include "tests/support/temp_dir.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace quellis::miner
{
namespace
{

using namespace quellis::resources;

// The dialog made as DoModal makes it, without its loop; OK is a click.
class PoolDialogTest : public testing::Test
{
protected:
    PoolDialogTest()
    {
        ui::SetMessageBoxHook(
            [this](const ui::MessageBoxRequest& request)
            {
                boxes.push_back(request.text);
                return ui::kAnswerOk;
            });
    }
    ~PoolDialogTest() override { ui::SetMessageBoxHook({}); }

    std::unique_ptr<CDlgPoolInfo> Open()
    {
        auto dialog = std::make_unique<CDlgPoolInfo>(dir / "config.ini", nullptr);
        EXPECT_TRUE(dialog->Create(nullptr));
        return dialog;
    }
    static void Click(CDlgPoolInfo& dialog, int id)
    {
        // Hidden buttons are reached the way a keyboard accelerator would.
        static_cast<QAbstractButton*>(dialog.Item(id))->click();
        QApplication::processEvents();
    }
    static void Type(CDlgPoolInfo& dialog, int id, const char* text)
    {
        static_cast<QLineEdit*>(dialog.Item(id))->setText(QString::fromUtf8(text));
    }

    test::TempDir dir;
    std::vector<std::string> boxes;
};

TEST_F(PoolDialogTest, WithoutPoolsTheDefaultsShowEveryRowTickedWithTheAddressSuffix)
{
    const auto dialog = Open();
    EXPECT_EQ(dialog->windowTitle().toStdString(), "矿工设置");
    const PoolRowSettings defaults = ReadPoolSettings(dir / "config.ini");
    for (std::size_t n = 0; n < kPoolSlotCount; ++n)
    {
        EXPECT_EQ(dialog->IsButtonChecked(kIdPoolEnable[n]), ui::kChecked) << n;
        EXPECT_EQ(dialog->ItemText(kIdPoolUrl[n]), defaults[n].url);
        EXPECT_EQ(dialog->ItemText(kIdPoolWorker[n]), defaults[n].worker);
        EXPECT_EQ(dialog->ItemText(kIdPoolPassword[n]), "x");
        EXPECT_EQ(dialog->IsButtonChecked(kIdPoolSuffixIp[n]), ui::kChecked);
        EXPECT_FALSE(dialog->IsItemVisible(kIdPoolSuffixExisting[n]));
        EXPECT_TRUE(dialog->IsItemVisible(kIdPoolSuffixNone[n]));
        // Announced as radio buttons, not check boxes.
        for (const int id : { kIdPoolSuffixIp[n], kIdPoolSuffixExisting[n], kIdPoolSuffixNone[n] })
        {
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(dialog->Item(id));
            ASSERT_NE(accessible, nullptr);
            EXPECT_EQ(accessible->role(), QAccessible::RadioButton) << id;
        }
    }
    EXPECT_EQ(dialog->IsButtonChecked(kIdPoolOnTop), ui::kChecked);
    EXPECT_FALSE(dialog->IsItemVisible(kIdPoolOnTop));
    EXPECT_FALSE(dialog->IsItemVisible(kIdGeneratePoolFiles));
    EXPECT_FALSE(std::filesystem::exists(dir / "config.ini")) << "opening writes nothing";
}

TEST_F(PoolDialogTest, OkStoresTheRowsAndHandsOverTheSlotsWithTheirEnabledFlags)
{
    dir.Write("config.ini", "[POOLS]\r\nTYPE1=1\r\nTYPE2=5\r\nURL3=stratum+tcp://lab:1\r\n");
    const auto dialog = Open();
    EXPECT_EQ(dialog->IsButtonChecked(kIdPoolSuffixExisting[0]), ui::kChecked) << "the hidden choice";
    EXPECT_EQ(dialog->IsButtonChecked(kIdPoolSuffixNone[1]), ui::kChecked);
    EXPECT_EQ(dialog->ItemText(kIdPoolUrl[2]), "stratum+tcp://lab:1");

    Type(*dialog, kIdPoolWorker[2], "工人.7");
    QTest::mouseClick(dialog->Item(kIdPoolEnable[3]), Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseClick(dialog->Item(kIdPoolSuffixNone[2]), Qt::LeftButton, {}, QPoint(5, 5));
    Click(*dialog, kIdPoolOk);
    EXPECT_FALSE(dialog->isVisible());

    const PoolSlots& result = dialog->Slots();
    EXPECT_EQ(result[0].suffixMode, kSuffixExistingWorker);
    EXPECT_EQ(result[1].suffixMode, kSuffixNone);
    EXPECT_EQ(result[2].suffixMode, kSuffixNone);
    EXPECT_EQ(result[2].worker, "工人.7");
    EXPECT_EQ(result[2].url, "stratum+tcp://lab:1");
    EXPECT_TRUE(result[0].enabled && result[1].enabled && result[2].enabled);
    EXPECT_FALSE(result[3].enabled) << "unticked: stored as usual, only the flag is 0";

    const std::string config = dir.Read("config.ini");
    for (const char* line : { "TYPE1=1", "TYPE2=2", "TYPE3=2", "TYPE4=0", "URL4=", "PASSWORD4=x" })
    {
        EXPECT_NE(config.find(line), std::string::npos) << line << "\n" << config;
    }
    EXPECT_EQ(config.find("ENABLE"), std::string::npos);
    EXPECT_EQ(ReadPoolSettings(dir / "config.ini")[2].worker, "工人.7");

    // The next opening finds them again, every row ticked.
    const auto again = Open();
    EXPECT_EQ(again->IsButtonChecked(kIdPoolEnable[3]), ui::kChecked);
    EXPECT_EQ(again->IsButtonChecked(kIdPoolSuffixNone[1]), ui::kChecked);
    EXPECT_EQ(again->ItemText(kIdPoolWorker[2]), "工人.7");
}

TEST_F(PoolDialogTest, TheHiddenGeneratorWritesThePoolFilesFromTheTemplate)
{
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    const auto dialog = Open();
    Click(*dialog, kIdGeneratePoolFiles);
    EXPECT_EQ(boxes, (std::vector<std::string> { "请检查模板文件cgminer.conf.xtc是否存在" }));
    EXPECT_FALSE(std::filesystem::exists(dir / "cgminer.conf0.xtc"));

    dir.Write("cgminer.conf.xtc", "\"api-allow\":\"W:0/0\"\n}\n");
    Click(*dialog, kIdGeneratePoolFiles);
    EXPECT_EQ(boxes.back(), "生成成功！");
    EXPECT_EQ(dir.Read("cgminer.conf0.xtc"), PoolFileText(0, "\"api-allow\":\"W:0/0\"\n}\n"));
    EXPECT_EQ(dir.Read("cgminer.conf119.xtc"), PoolFileText(119, "\"api-allow\":\"W:0/0\"\n}\n"));
    EXPECT_TRUE(dialog->isVisible()) << "the dialog stays open";
    std::filesystem::current_path(previous);
}

} // namespace
} // namespace quellis::miner
