#include "poller/machine_poller.h"

#include "platform/net/poller.h"
#include "platform/net/socket.h"
#include "platform/net/wsa_error.h"

#include <queue>

#include <algorithm>

namespace quellis::poller
{

namespace
{

constexpr std::size_t kReadChunk = 16 * 1024;
// The longest the thread sleeps without looking for new machines or a stop.
constexpr std::chrono::milliseconds kLongestWait { 1000 };

enum class Exchange
{
    Summary,
    Devs,
    Pools,
};

enum class Stage
{
    Idle,
    Connecting,
    Sending,
    Receiving,
};

bool IsPending(int error)
{
    return error == net::kWsaWouldBlock || error == net::kWsaInProgress;
}

} // namespace

struct MachinePoller::Slot
{
    net::Socket socket;
    Stage stage = Stage::Idle;
    int machine = -1;
    Exchange exchange = Exchange::Summary;
    bool failing = false; // the machine's last poll failed
    std::uint32_t address = 0;
    SteadyTime due;
    SteadyTime started;
    SteadyTime deadline;
    SteadyTime exchangeStarted;
    std::size_t sent = 0;
    std::string reply;
    std::optional<double> mhsAv;
    std::optional<std::string> pool;
};

struct MachinePoller::Due
{
    SteadyTime time;
    int machine = 0;

    friend bool operator>(const Due& a, const Due& b) { return a.time > b.time; }
};

// Machines wait for their poll in three queues. A machine that fails costs a
// slot for up to the connect or receive bound where one that answers costs
// milliseconds, so failing machines together get at most half the slots:
// however many machines go off at once, the ones that answer keep their
// period. Among the failing, a machine not yet down goes first, so that a
// machine that has just stopped answering is told within its grace and not
// after every machine that has long been down.
struct MachinePoller::State
{
    using DueQueue = std::priority_queue<Due, std::vector<Due>, std::greater<>>;

    net::Poller readiness;
    std::vector<Slot> slots;
    std::vector<Slot*> free;
    std::vector<Health> health; // by machine
    std::vector<bool> handedOver; // by machine: was slow, and has not answered since
    DueQueue answering;
    DueQueue suspect; // failed, not yet down
    DueQueue down;
    int inFlight = 0;
    int failingInFlight = 0;
    int failingLimit = 1;
    SteadyTime start;

    [[nodiscard]] bool Failing(int machine) const
    {
        const auto index = static_cast<std::size_t>(machine);
        return health[index].failuresInRow != 0 || handedOver[index];
    }

    DueQueue& QueueFor(int machine, int grace)
    {
        const int failures = health[static_cast<std::size_t>(machine)].failuresInRow;
        return !Failing(machine) ? answering : failures < grace ? suspect : down;
    }

    // The queue whose first machine polls next: of the answering machines and
    // the failing ones (a suspect before any machine long down), the one due
    // first, so that neither starves the other when the poller is saturated.
    // Nothing when no slot may start a poll.
    DueQueue* Next(SteadyTime now)
    {
        if (free.empty())
        {
            return nullptr;
        }
        DueQueue* failing = nullptr;
        if (failingInFlight < failingLimit)
        {
            const auto earlier = [](DueQueue* a, DueQueue* b) {
                return a->empty() ? b : b->empty() || a->top().time <= b->top().time ? a : b;
            };
            failing = !suspect.empty() && suspect.top().time <= now ? &suspect : earlier(&suspect, &down);
            failing = failing->empty() ? nullptr : failing;
        }
        if (answering.empty() || (failing != nullptr && failing->top().time < answering.top().time))
        {
            return failing;
        }
        return &answering;
    }
};

MachinePoller::MachinePoller(PollerOptions options, EventSink sink)
    : options_(options)
    , sink_(std::move(sink))
    , state_(std::make_unique<State>())
{
    state_->slots.resize(static_cast<std::size_t>(std::max(1, options_.concurrency)));
    state_->failingLimit = std::max(1, options_.concurrency / 2);
    for (Slot& slot : state_->slots)
    {
        state_->free.push_back(&slot);
    }
}

MachinePoller::~MachinePoller()
{
    Stop();
}

void MachinePoller::Update(const std::vector<MachineInfo>& machines)
{
    {
        std::lock_guard guard(lock_);
        for (const MachineInfo& info : machines)
        {
            int index = -1;
            if (!info.mac.empty())
            {
                if (const auto found = byMac_.find(info.mac); found != byMac_.end())
                {
                    index = found->second;
                }
            }
            if (index < 0)
            {
                if (const auto found = byAddress_.find(info.address); found != byAddress_.end())
                {
                    index = found->second;
                }
            }
            if (index < 0)
            {
                index = static_cast<int>(views_.size());
                views_.emplace_back();
            }
            MachineInfo& known = views_[static_cast<std::size_t>(index)].info;
            if (known.address != info.address && byAddress_.count(known.address) != 0
                && byAddress_[known.address] == index)
            {
                byAddress_.erase(known.address);
            }
            // A record without a MAC (a file's bare address) does not forget
            // the one a search gave.
            std::string mac = info.mac.empty() ? known.mac : info.mac;
            known = info;
            known.mac = std::move(mac);
            byAddress_[known.address] = index;
            if (!known.mac.empty())
            {
                byMac_[known.mac] = index;
            }
        }
    }
    added_ = true;
    state_->readiness.Wake();
}

bool MachinePoller::Start()
{
    if (!state_->readiness.IsValid() || thread_.joinable())
    {
        return false;
    }
    stop_ = false;
    state_->start = std::chrono::steady_clock::now();
    added_ = true;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void MachinePoller::Stop()
{
    if (!thread_.joinable())
    {
        return;
    }
    stop_ = true;
    state_->readiness.Wake();
    thread_.join();
}

PollerSnapshot MachinePoller::Snapshot() const
{
    std::lock_guard guard(lock_);
    PollerSnapshot snapshot = totals_;
    snapshot.machines = views_;
    return snapshot;
}

// The poller thread owns the slots, the machines' health and the queue of
// polls due; it shares the machines' views and the totals under lock_, each
// time only to read an address or to write one poll's outcome.
void MachinePoller::Run()
{
    State& state = *state_;
    std::vector<void*> ready(256);
    while (!stop_)
    {
        SteadyTime now = std::chrono::steady_clock::now();
        if (added_.exchange(false))
        {
            TakeNewMachines(now);
        }
        for (State::DueQueue* next = state.Next(now); next != nullptr && next->top().time <= now;
             next = state.Next(now))
        {
            const Due due = next->top();
            next->pop();
            StartPoll(due.machine, due.time, now);
        }
        SteadyTime wakeAt = now + kLongestWait;
        for (Slot& slot : state.slots)
        {
            if (slot.stage == Stage::Idle)
            {
                continue;
            }
            if (slot.deadline <= now)
            {
                Expire(slot, now);
            }
            else if (!slot.failing)
            {
                CheckFast(slot, now);
            }
            if (slot.stage != Stage::Idle)
            {
                wakeAt = std::min(wakeAt, slot.deadline);
                if (!slot.failing && slot.reply.empty())
                {
                    wakeAt = std::min(wakeAt, slot.exchangeStarted + options_.fastBound);
                }
            }
        }
        if (const State::DueQueue* next = state.Next(now); next != nullptr)
        {
            wakeAt = std::min(wakeAt, next->top().time);
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::max(wakeAt - now, SteadyTime::duration {}));
        const int count = state.readiness.Wait(ready, wait);
        now = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i)
        {
            Advance(*static_cast<Slot*>(ready[static_cast<std::size_t>(i)]), now);
        }
    }
    for (Slot& slot : state.slots)
    {
        CloseSocket(slot);
        slot.stage = Stage::Idle;
    }
}

void MachinePoller::TakeNewMachines(SteadyTime now)
{
    std::size_t known = 0;
    std::vector<std::uint32_t> addresses;
    {
        std::lock_guard guard(lock_);
        known = state_->health.size();
        for (std::size_t i = known; i < views_.size(); ++i)
        {
            addresses.push_back(views_[i].info.address);
        }
    }
    for (std::size_t i = 0; i < addresses.size(); ++i)
    {
        state_->health.emplace_back();
        state_->handedOver.push_back(false);
        state_->answering.push({ now + PhaseOf(addresses[i], options_.period), static_cast<int>(known + i) });
    }
}

void MachinePoller::StartPoll(int machine, SteadyTime due, SteadyTime now)
{
    Slot& slot = *state_->free.back();
    state_->free.pop_back();
    ++state_->inFlight;
    slot.machine = machine;
    slot.due = due;
    slot.started = now;
    slot.exchange = Exchange::Summary;
    slot.mhsAv.reset();
    slot.pool.reset();
    slot.failing = state_->Failing(machine);
    state_->failingInFlight += slot.failing ? 1 : 0;
    {
        std::lock_guard guard(lock_);
        slot.address = views_[static_cast<std::size_t>(machine)].info.address;
        totals_.mostInFlight = std::max(totals_.mostInFlight, state_->inFlight);
    }
    Connect(slot, now);
}

void MachinePoller::Connect(Slot& slot, SteadyTime now)
{
    slot.reply.clear();
    slot.sent = 0;
    slot.socket = net::Socket::Create(net::SocketKind::Tcp);
    if (!slot.socket.IsValid() || !slot.socket.SetBlocking(false))
    {
        // Out of descriptors or buffers: the machine is not to blame, but the
        // poll did not happen.
        Finish(slot, PollFailure::Unreachable, now);
        return;
    }
    slot.stage = Stage::Connecting;
    slot.deadline = now + options_.connectTimeout;
    slot.exchangeStarted = now;
    if (slot.socket.Connect({ slot.address, options_.port }))
    {
        slot.stage = Stage::Sending;
    }
    else if (const int error = net::WsaGetLastError(); !IsPending(error))
    {
        Finish(slot, FailureOfSocketError(error), now);
        return;
    }
    if (!state_->readiness.Add(slot.socket.Handle(), &slot, net::Interest::Write))
    {
        Finish(slot, PollFailure::Unreachable, now);
    }
}

void MachinePoller::Advance(Slot& slot, SteadyTime now)
{
    switch (slot.stage)
    {
    case Stage::Idle:
        return;
    case Stage::Connecting:
        if (const int error = slot.socket.PendingError(); error != 0)
        {
            Finish(slot, FailureOfSocketError(error), now);
            return;
        }
        slot.stage = Stage::Sending;
        [[fallthrough]];
    case Stage::Sending:
        SendRequest(slot, now);
        return;
    case Stage::Receiving:
        ReceiveReply(slot, now);
        return;
    }
}

void MachinePoller::SendRequest(Slot& slot, SteadyTime now)
{
    const std::string_view request = slot.exchange == Exchange::Summary ? kSummaryRequest
        : slot.exchange == Exchange::Devs                               ? kDevsRequest
                                                                        : kPoolsRequest;
    while (slot.sent < request.size())
    {
        const int sent = slot.socket.Send(request.data() + slot.sent, request.size() - slot.sent);
        if (sent < 0)
        {
            const int error = net::WsaGetLastError();
            if (!IsPending(error))
            {
                Finish(slot, FailureOfSocketError(error), now);
            }
            return;
        }
        slot.sent += static_cast<std::size_t>(sent);
    }
    slot.stage = Stage::Receiving;
    slot.deadline = now + options_.receiveTimeout;
    // A reply already waiting is reported at once.
    if (!state_->readiness.Change(slot.socket.Handle(), &slot, net::Interest::Read))
    {
        Finish(slot, PollFailure::Unreachable, now);
    }
}

void MachinePoller::ReceiveReply(Slot& slot, SteadyTime now)
{
    char chunk[kReadChunk];
    for (;;)
    {
        const int received = slot.socket.Receive(chunk, sizeof chunk);
        if (received > 0)
        {
            if (slot.reply.size() + static_cast<std::size_t>(received) > options_.replyLimit)
            {
                // What came within the limit may still be a whole reply
                // followed by padding; anything else is not a reply.
                if (IsWholeReply(slot.reply))
                {
                    ReplyEnded(slot, now);
                }
                else
                {
                    Finish(slot, PollFailure::ParseError, now);
                }
                return;
            }
            slot.reply.append(chunk, static_cast<std::size_t>(received));
            continue;
        }
        if (received == 0)
        {
            ReplyEnded(slot, now);
            return;
        }
        const int error = net::WsaGetLastError();
        if (IsPending(error))
        {
            // Mining software closes after its reply, but one that keeps the
            // connection open has answered once the reply is whole.
            if (IsWholeReply(slot.reply))
            {
                ReplyEnded(slot, now);
            }
            return;
        }
        Finish(slot, FailureOfSocketError(error), now);
        return;
    }
}

void MachinePoller::ReplyEnded(Slot& slot, SteadyTime now)
{
    if (slot.reply.empty())
    {
        Finish(slot, PollFailure::NoData, now);
        return;
    }
    if (slot.exchange == Exchange::Pools)
    {
        if (const PoolsReading pools = ReadPools(slot.reply); pools.failure == PollFailure::None)
        {
            slot.pool = pools.pool;
        }
        Finish(slot, PollFailure::None, now);
        return;
    }
    if (slot.exchange == Exchange::Devs)
    {
        const PollFailure devs = ReadDevs(slot.reply);
        if (devs != PollFailure::None || !options_.readPools)
        {
            Finish(slot, devs, now);
            return;
        }
        slot.exchange = Exchange::Pools;
        CloseSocket(slot);
        Connect(slot, now);
        return;
    }
    const SummaryReading summary = ReadSummary(slot.reply);
    if (summary.failure != PollFailure::None)
    {
        Finish(slot, summary.failure, now);
        return;
    }
    slot.mhsAv = summary.mhsAv;
    slot.exchange = Exchange::Devs;
    CloseSocket(slot);
    Connect(slot, now);
}

void MachinePoller::Expire(Slot& slot, SteadyTime now)
{
    if (slot.stage == Stage::Receiving && !slot.reply.empty() && IsWholeReply(slot.reply))
    {
        ReplyEnded(slot, now);
        return;
    }
    Finish(slot, PollFailure::Timeout, now);
}

void MachinePoller::CheckFast(Slot& slot, SteadyTime now)
{
    if (!slot.reply.empty() || now - slot.exchangeStarted < options_.fastBound)
    {
        return;
    }
    State& state = *state_;
    if (state.failingInFlight < state.failingLimit)
    {
        slot.failing = true;
        ++state.failingInFlight;
        return;
    }
    // No verdict: the machine is polled again at once, among the failing.
    const int machine = slot.machine;
    state.handedOver[static_cast<std::size_t>(machine)] = true;
    const SteadyTime due = slot.due;
    CloseSocket(slot);
    Release(slot);
    state.QueueFor(machine, options_.grace).push({ due, machine });
}

void MachinePoller::Release(Slot& slot)
{
    slot.stage = Stage::Idle;
    slot.machine = -1;
    state_->free.push_back(&slot);
    --state_->inFlight;
    state_->failingInFlight -= slot.failing ? 1 : 0;
    slot.failing = false;
}

void MachinePoller::CloseSocket(Slot& slot)
{
    if (slot.socket.IsValid())
    {
        state_->readiness.Remove(slot.socket.Handle());
        slot.socket.Close();
    }
}

void MachinePoller::Finish(Slot& slot, PollFailure outcome, SteadyTime now)
{
    CloseSocket(slot);
    // The machine has answered "summary" and "devs": a "pools" exchange that
    // fails leaves its pool unknown this time but does not make it fail.
    if (slot.exchange == Exchange::Pools)
    {
        outcome = PollFailure::None;
    }
    const int machine = slot.machine;
    Health& health = state_->health[static_cast<std::size_t>(machine)];
    if (outcome == PollFailure::None)
    {
        state_->handedOver[static_cast<std::size_t>(machine)] = false;
    }
    const std::optional<Transition> change = ApplyPoll(health, outcome, options_.grace);
    const double seconds = std::chrono::duration<double>(now - slot.started).count();
    StateEvent event;
    {
        std::lock_guard guard(lock_);
        MachineView& view = views_[static_cast<std::size_t>(machine)];
        view.state = health.state;
        ++view.polls;
        if (outcome == PollFailure::None)
        {
            view.mhsAv = slot.mhsAv;
            if (slot.pool)
            {
                view.pool = slot.pool;
            }
        }
        else
        {
            ++view.failures[static_cast<std::size_t>(outcome)];
        }
        const auto bucket = std::lower_bound(kDurationBounds.begin(), kDurationBounds.end(), seconds);
        ++totals_.durations[static_cast<std::size_t>(bucket - kDurationBounds.begin())];
        totals_.durationSum += seconds;
        ++totals_.polls;
        if (change)
        {
            event = { std::chrono::system_clock::now(), view.info.address, view.info.mac, *change };
        }
    }
    // A machine that has failed but is not yet down is polled again at once:
    // its verdict waits for no period.
    const bool suspect = health.failuresInRow != 0 && health.failuresInRow < options_.grace;
    const SteadyTime due = slot.due;
    Release(slot);
    state_->QueueFor(machine, options_.grace).push({ suspect ? now : NextDue(due, now, options_.period), machine });
    if (change && sink_)
    {
        sink_(event);
    }
}

} // namespace quellis::poller
