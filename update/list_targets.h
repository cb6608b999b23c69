#pragma once

#include "core/window.h"
#include "update/update_run.h"

// The window's list as a run's machines: the selected rows, the next one
// looked up before each offer (the operator may change the selection during
// the run), or every row there was at the run's start. The run's thread
// reads the list through window calls.

namespace quellis::update
{

class SelectedRowTargets : public UpdateTargets
{
public:
    explicit SelectedRowTargets(core::DeviceListView& list)
        : list_(list)
    {
    }
    std::optional<UpdateRefusal> Missing() override;
    std::optional<UpdateTarget> Next() override;

private:
    core::DeviceListView& list_;
    bool started_ = false;
    int next_ = -1;
};

class AllRowTargets : public UpdateTargets
{
public:
    explicit AllRowTargets(core::DeviceListView& list)
        : list_(list)
    {
    }
    std::optional<UpdateRefusal> Missing() override;
    std::optional<UpdateTarget> Next() override;

private:
    core::DeviceListView& list_;
    int count_ = -1; // read at the first machine
    int row_ = 0;
};

} // namespace quellis::update
