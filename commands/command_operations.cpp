#include "commands/command_operations.h"

#include "commands/commands_controller.h"

namespace quellis::commands
{

std::string_view RefusalText(CommandRefusal refusal)
{
    switch (refusal)
    {
    case CommandRefusal::NoMachineToTest:
        return commandtext::kSelectDeviceToTest;
    case CommandRefusal::SeveralToExecute:
        return commandtext::kSeveralForExecute;
    case CommandRefusal::EmptyCommand:
        return commandtext::kEmptyCommand;
    case CommandRefusal::CommandTooLong:
        return commandtext::kCommandTooLong;
    case CommandRefusal::SeveralSelected:
        return commandtext::kSeveralSelected;
    case CommandRefusal::NoMacRestart:
        return commandtext::kNoMacRestart;
    case CommandRefusal::NoMacReboot:
        return commandtext::kNoMacReboot;
    case CommandRefusal::NoMachineToSet:
        return commandtext::kSelectDevice;
    case CommandRefusal::BlinkThreadFailed:
        return commandtext::kBlinkThreadFailed;
    case CommandRefusal::NotConfirmed:
        break;
    }
    return {};
}

std::string_view RefusalCaption(CommandRefusal refusal)
{
    return refusal == CommandRefusal::NoMacRestart || refusal == CommandRefusal::NoMacReboot ? commandtext::kInfoCaption
                                                                                             : std::string_view {};
}

} // namespace quellis::commands
