#include "platform/ui/icons.h"

#include "resources/resource_ids.h"

namespace quellis::ui
{

namespace
{

QString IconPath(int iconId, int drawnSize)
{
    return QString::fromStdString(resources::ResourcePath(resources::ResourceKind::Icon, iconId, drawnSize));
}

} // namespace

QPixmap LoadIconPixmap(int iconId, int size)
{
    // The drawn size the system would pick, scaled when it is not the one asked for.
    const int drawn = resources::IconSizeFor(iconId, size);
    if (drawn == 0)
    {
        return {};
    }
    QPixmap pixmap(IconPath(iconId, drawn));
    if (!pixmap.isNull() && drawn != size)
    {
        pixmap = pixmap.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    return pixmap;
}

QIcon LoadIcon(int iconId)
{
    QIcon icon;
    for (const int drawn : resources::IconSizes(iconId))
    {
        icon.addFile(IconPath(iconId, drawn), QSize(drawn, drawn));
    }
    return icon;
}

} // namespace quellis::ui
