#pragma once

#include <cstdint>

// A subsystem's behaviour behind the main window: its handlers, its threads
// and its part of the state. The window routes what it receives (command
// ids, list notifications, timers, posted messages) to its controllers in
// turn until one takes it.

namespace quellis::core
{

enum class ListNotify
{
    Click, // row -1 when not on a row
    DoubleClick, // likewise
    ColumnClick, // column set
};

class Controller
{
public:
    virtual ~Controller() = default;

    // UI thread. True when this controller handled it.
    virtual bool OnCommand(int /*id*/) { return false; }
    virtual bool OnListNotify(ListNotify /*code*/, int /*row*/, int /*column*/) { return false; }
    virtual bool OnTimer(int /*id*/) { return false; }
    virtual bool OnMessage(std::uint32_t /*message*/, std::uintptr_t /*wParam*/, std::intptr_t /*lParam*/)
    {
        return false;
    }

    // Teardown, UI thread: the run flags are clear by now; end and join every
    // thread of this controller. No window call may follow.
    virtual void Stop() { }
};

} // namespace quellis::core
