#include "platform/ui/icons.h"
#include "resources/resource_ids.h"

#include <QImage>

#include <gtest/gtest.h>

namespace quellis::ui
{
namespace
{

// The window icon decodes its sizes when asked; what it gives must be what
// Qt's own icon of the same files gives, for any size and mode asked.
TEST(Icons, WindowIconGivesWhatQtsIconOfTheSameFilesGives)
{
    for (const int id : { resources::kIconApplication, resources::kIconLampOn })
    {
        QIcon qtIcon;
        for (const int drawn : resources::IconSizes(id))
        {
            qtIcon.addFile(QString::fromStdString(resources::ResourcePath(resources::ResourceKind::Icon, id, drawn)),
                QSize(drawn, drawn));
        }
        const QIcon icon = LoadIcon(id);
        EXPECT_FALSE(icon.isNull());
        EXPECT_EQ(icon.availableSizes(), qtIcon.availableSizes()) << id;
        for (const QSize asked : { QSize(16, 16),
                 QSize(20, 20),
                 QSize(32, 32),
                 QSize(40, 40),
                 QSize(64, 32),
                 QSize(100, 100),
                 QSize(300, 300) })
        {
            for (const QIcon::Mode mode : { QIcon::Normal, QIcon::Disabled, QIcon::Selected })
            {
                const QImage expected = qtIcon.pixmap(asked, mode).toImage();
                const QImage got = icon.pixmap(asked, mode).toImage();
                EXPECT_EQ(icon.actualSize(asked, mode), qtIcon.actualSize(asked, mode));
                EXPECT_EQ(got.size(), expected.size()) << id << " " << asked.width() << "x" << asked.height();
                EXPECT_TRUE(
                    got.convertToFormat(QImage::Format_ARGB32) == expected.convertToFormat(QImage::Format_ARGB32))
                    << id << " " << asked.width() << "x" << asked.height() << " mode " << mode;
            }
        }
    }
    EXPECT_TRUE(LoadIcon(129).isNull()); // no such icon
    EXPECT_TRUE(LoadIconPixmap(129, 32).isNull());
}

} // namespace
} // namespace quellis::ui
