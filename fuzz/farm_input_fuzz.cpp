// libFuzzer target for what the farm reads from the outside: datagrams from
// the tool (every request type, through the management server of a small
// farm), miner API request texts, pool configuration texts, scenario files
// and --behave options. The first byte chooses the reader.

#include "sim/device_service.h"
#include "sim/miner_api_reply.h"
#include "sim/pool_config.h"
#include "sim/scenario.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace
{

using namespace quellis::sim;

class DiscardingSink final : public ReplySink
{
public:
    void Schedule(std::vector<OutgoingReply> replies) override { (void)replies; }
    void StartDownload(const DownloadOrder& order) override { (void)order; }
};

struct SmallFarm
{
    SmallFarm()
    {
        auto identities = GenerateMachines(4, 1, 0x7F280001);
        std::vector<Behaviour> behaviours;
        for (const auto& identity : identities)
        {
            behaviours.push_back(NaturalBehaviour(identity));
        }
        behaviours[1].eeprom = EepromMode::BadChecksum;
        behaviours[2].rebootMs = 0;
        machines = MachineTable(std::move(identities), std::move(behaviours), Clock::now());
        service = std::make_unique<DeviceService>(machines, counters, DeviceServiceSettings {});
    }

    MachineTable machines;
    FarmCounters counters;
    std::unique_ptr<DeviceService> service;
    DiscardingSink sink;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static SmallFarm farm;
    if (size == 0)
    {
        return 0;
    }
    const std::span<const std::uint8_t> input(data + 1, size - 1);
    const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
    switch (data[0] % 5)
    {
    case 0:
        farm.service->Handle(input, { 0x7F000001, 6667 }, 0xFFFFFFFF, Clock::now(), farm.sink);
        break;
    case 1:
    {
        MinerView miner;
        miner.description = "farmminer 4.2.0";
        (void)IsCompleteApiRequest(text);
        (void)ComposeApiReply(text, static_cast<ApiMode>(size % 8), miner, 0, (size & 1) != 0);
        break;
    }
    case 2:
        (void)ParsePoolText(text);
        break;
    case 3:
    {
        Scenario scenario;
        std::string error;
        if (ParseScenario(text, &scenario, &error))
        {
            std::vector<Behaviour> behaviours;
            auto machines = GenerateMachines(scenario.machines.value_or(10) % 50 + 1, 1, 0x0A4D8001);
            (void)AssignBehaviours(scenario.groups, machines, scenario.seed.value_or(1), &behaviours, &error);
        }
        break;
    }
    default:
    {
        BehaviourGroup group;
        std::string error;
        (void)ParseBehaveOption(text, &group, &error);
        break;
    }
    }
    return 0;
}
