#include "update/update_run.h"

#include "update/update_controller.h"

namespace quellis::update
{

std::string_view RefusalText(UpdateRefusal refusal)
{
    switch (refusal)
    {
    case UpdateRefusal::NoPackage:
        return updatetext::kChooseFirst;
    case UpdateRefusal::NoSelection:
        return updatetext::kSelectMachines;
    case UpdateRefusal::NoRows:
        return updatetext::kListEmpty;
    case UpdateRefusal::RunGoing:
    case UpdateRefusal::NotStarted:
        break;
    }
    return {};
}

std::string_view OutcomeWord(UpdateOutcome outcome)
{
    switch (outcome)
    {
    case UpdateOutcome::Updated:
        return "updated";
    case UpdateOutcome::Failed:
        return "update failed";
    case UpdateOutcome::TimedOut:
        return "timed out";
    case UpdateOutcome::NotSent:
        break;
    }
    return "offer not sent";
}

} // namespace quellis::update
