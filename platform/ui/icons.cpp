#include "platform/ui/icons.h"

#include <QApplication>
#include <QIconEngine>
#include <QImageReader>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

#include <map>
#include <utility>

namespace quellis::ui
{

namespace
{

IconSource source;

std::span<const int> IconSizes(int iconId)
{
    return source.sizes != nullptr ? source.sizes(iconId) : std::span<const int>();
}

QString IconPath(int iconId, int drawnSize)
{
    return source.path != nullptr ? QString::fromStdString(source.path(iconId, drawnSize)) : QString();
}

// Each drawn size of an icon is decoded once for the process: the lamps of a
// dialog and the window icons of every dialog share them. UI thread only, as
// pixmaps are; emptied when the application object goes, while Qt still runs.
std::map<std::pair<int, int>, QPixmap>& DecodedIcons()
{
    static auto* const decoded = []
    {
        qAddPostRoutine([] { DecodedIcons().clear(); });
        return new std::map<std::pair<int, int>, QPixmap>;
    }();
    return *decoded;
}

QPixmap DrawnPixmap(int iconId, int drawnSize)
{
    QPixmap& pixmap = DecodedIcons()[{ iconId, drawnSize }];
    if (pixmap.isNull())
    {
        // Named as PNG and not guessed: a guess asks every image plugin
        // (loading each, and the JPEG library) before Qt's own PNG reader.
        QImageReader reader(IconPath(iconId, drawnSize), "png");
        reader.setAutoDetectImageFormat(false);
        pixmap = QPixmap::fromImage(reader.read());
    }
    return pixmap;
}

// An icon of every drawn size, each decoded when it is first asked for.
// QIcon::addFile decodes every file at once (seven for the application icon,
// up to 256 by 256) though a platform asks for the sizes it shows: all of them
// on X11 when the window is made, none on the offscreen platform. Sizes are
// picked, scaled and styled as Qt's own pixmap icons do it.
class ResourceIconEngine final : public QIconEngine
{
public:
    explicit ResourceIconEngine(int iconId)
        : iconId_(iconId)
    {
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override
    {
        const int drawn = BestSize(size);
        QSize actual(drawn, drawn);
        if (drawn > size.width() || drawn > size.height())
        {
            actual.scale(size, Qt::KeepAspectRatio);
        }
        return actual;
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        const int drawn = BestSize(size);
        if (drawn == 0)
        {
            return {};
        }
        QPixmap pixmap = DrawnPixmap(iconId_, drawn);
        const QSize actual = actualSize(size, mode, state);
        if (!pixmap.isNull() && pixmap.size() != actual)
        {
            pixmap = pixmap.scaled(actual, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        }
        if (mode != QIcon::Normal && !pixmap.isNull())
        {
            QStyleOption option(0);
            option.palette = QGuiApplication::palette();
            const QPixmap generated = QApplication::style()->generatedIconPixmap(mode, pixmap, &option);
            if (!generated.isNull())
            {
                pixmap = generated;
            }
        }
        return pixmap;
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        const QPaintDevice* device = painter->device();
        const qreal ratio = device != nullptr ? device->devicePixelRatio() : qApp->devicePixelRatio();
        painter->drawPixmap(rect, pixmap(rect.size() * ratio, mode, state));
    }

    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        QList<QSize> sizes;
        if (mode == QIcon::Normal && state == QIcon::Off)
        {
            for (const int drawn : IconSizes(iconId_))
            {
                sizes.append(QSize(drawn, drawn));
            }
        }
        return sizes;
    }

    bool isNull() override { return IconSizes(iconId_).empty(); }
    QString key() const override { return QStringLiteral("QuellisResourceIcon"); }
    QIconEngine* clone() const override { return new ResourceIconEngine(iconId_); }

private:
    // The smallest drawn size covering the area asked for, else the largest
    // (the sizes are in ascending order); 0 for an unknown icon.
    int BestSize(const QSize& size) const
    {
        int best = 0;
        for (const int drawn : IconSizes(iconId_))
        {
            best = drawn;
            if (drawn * drawn >= size.width() * size.height())
            {
                break;
            }
        }
        return best;
    }

    int iconId_;
};

} // namespace

void SetIconSource(IconSource given)
{
    source = given;
}

QPixmap LoadIconPixmap(int iconId, int size)
{
    // The drawn size the system would pick, scaled when it is not the one asked for.
    const int drawn = source.sizeFor != nullptr ? source.sizeFor(iconId, size) : 0;
    if (drawn == 0)
    {
        return {};
    }
    QPixmap pixmap = DrawnPixmap(iconId, drawn);
    if (!pixmap.isNull() && drawn != size)
    {
        pixmap = pixmap.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    return pixmap;
}

QIcon LoadIcon(int iconId)
{
    return QIcon(new ResourceIconEngine(iconId));
}

} // namespace quellis::ui
