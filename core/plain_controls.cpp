#include "core/plain_controls.h"

namespace quellis::core
{

void PlainControls::EnableItem(int id, bool enable)
{
    {
        std::lock_guard lock(lock_);
        enabled_[id] = enable;
    }
    OnControlChanged();
}

bool PlainControls::IsItemEnabled(int id)
{
    std::lock_guard lock(lock_);
    const auto found = enabled_.find(id);
    return found == enabled_.end() || found->second;
}

void PlainControls::SetItemText(int id, std::string_view text)
{
    {
        std::lock_guard lock(lock_);
        texts_[id] = std::string(text);
    }
    OnControlChanged();
}

std::string PlainControls::ItemText(int id)
{
    std::lock_guard lock(lock_);
    const auto found = texts_.find(id);
    return found == texts_.end() ? std::string() : found->second;
}

void PlainControls::CheckButton(int id, int state)
{
    {
        std::lock_guard lock(lock_);
        checks_[id] = state;
    }
    OnControlChanged();
}

int PlainControls::IsButtonChecked(int id)
{
    std::lock_guard lock(lock_);
    const auto found = checks_.find(id);
    return found == checks_.end() ? kUnchecked : found->second;
}

void PlainControls::SetItemIcon(int id, int iconId)
{
    {
        std::lock_guard lock(lock_);
        icons_[id] = iconId;
    }
    OnControlChanged();
}

void PlainControls::SetFocusItem(int id)
{
    std::lock_guard lock(lock_);
    focus_ = id;
}

int PlainControls::Icon(int id) const
{
    std::lock_guard lock(lock_);
    const auto found = icons_.find(id);
    return found == icons_.end() ? 0 : found->second;
}

int PlainControls::Focus() const
{
    std::lock_guard lock(lock_);
    return focus_;
}

} // namespace quellis::core
