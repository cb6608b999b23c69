#include "app/rich_edit_ex.h"

namespace quellis::app
{

CRichEditEx::CRichEditEx(QWidget* parent)
    : ui::RichEditControl(parent)
{
}

} // namespace quellis::app
