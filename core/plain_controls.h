#pragma once

#include "core/window.h"

#include <map>
#include <mutex>
#include <string>

// Controls of a dialog as plain values by id, for a front end without a
// screen and for tests: enabled unless disabled, text, check state, icon and
// the focused control. Any thread.

namespace quellis::core
{

class PlainControls : public Controls
{
public:
    void EnableItem(int id, bool enable) override;
    bool IsItemEnabled(int id) override;
    void SetItemText(int id, std::string_view text) override;
    std::string ItemText(int id) override;
    void CheckButton(int id, int state) override;
    int IsButtonChecked(int id) override;
    void SetItemIcon(int id, int iconId) override;
    void SetFocusItem(int id) override;

    // The icon last set on a control (0: none), and the focused control.
    [[nodiscard]] int Icon(int id) const;
    [[nodiscard]] int Focus() const;

protected:
    // After each change, outside the lock: for a front end that waits on them.
    virtual void OnControlChanged() { }

private:
    mutable std::mutex lock_;
    std::map<int, bool> enabled_;
    std::map<int, std::string> texts_;
    std::map<int, int> checks_;
    std::map<int, int> icons_;
    int focus_ = 0;
};

} // namespace quellis::core
