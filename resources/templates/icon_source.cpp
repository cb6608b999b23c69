#include "resources/templates/icon_source.h"

#include "platform/ui/icons.h"
#include "resources/resource_ids.h"

namespace quellis::resources
{

void HandIconsToPlatform()
{
    ui::SetIconSource({ IconSizes, IconSizeFor, [](int iconId, int drawnSize) {
                           return ResourcePath(ResourceKind::Icon, iconId, drawnSize);
                       } });
}

} // namespace quellis::resources
