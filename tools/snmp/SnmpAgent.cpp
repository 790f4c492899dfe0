#include "SnmpAgent.h"

#include <cstdio>

#ifndef DELTANHNT_VERSION
#define DELTANHNT_VERSION "?"
#endif

namespace snmp
{
namespace
{

void StderrLog(const std::string& line)
{
    // One write per line: the lines of the two threads do not mix.
    const std::string text = "halx-host: snmp: " + line + "\n";
    std::fputs(text.c_str(), stderr);
}

} // namespace

SnmpAgent::SnmpAgent(boost::asio::io_context& io, const site::SiteConfig& site,
                     site::SnapshotsFn snapshots, AgentOptions options)
    : config_(site.snmp), snapshots_(std::move(snapshots)), options_(std::move(options)), tick_(io)
{
    if (options_.agent_version.empty()) {
        options_.agent_version = std::string("halx-host ") + DELTANHNT_VERSION;
    }
    if (!options_.log) {
        options_.log = StderrLog;
    }
    // The served UPSes in configured order, each with its contexts.
    for (std::size_t i = 0; i < site.ups.size(); ++i) {
        Served served;
        served.index = i;
        served.name = site.ups[i].name;
        if (config_.default_ups == served.name) {
            served.contexts.emplace_back();
        }
        for (const site::SnmpContext& context : config_.contexts) {
            if (context.ups == served.name) {
                served.contexts.push_back(context.context);
            }
        }
        if (!served.contexts.empty()) {
            served_.push_back(std::move(served));
        }
    }
    state_.resize(served_.size());
    data_.resize(served_.size());
    shared_.ups.resize(served_.size());
}

SnmpAgent::~SnmpAgent()
{
    Stop();
}

void SnmpAgent::Start()
{
    if (running_) {
        return;
    }
    running_ = true;
    started_ = std::chrono::steady_clock::now();
    const std::vector<site::UpsSnapshot> snapshots = snapshots_();
    for (std::size_t position = 0; position < served_.size(); ++position) {
        Refresh(position, snapshots);
        Publish(position);
    }
    SubagentOptions options;
    options.agentx = config_.agentx;
    options.agent_version = options_.agent_version;
    options.log = options_.log;
    options.retry_first = options_.retry_first;
    options.retry_max = options_.retry_max;
    subagent_ = std::make_unique<Subagent>(served_, shared_, std::move(options));
    subagent_->Start();
    Tick();
}

void SnmpAgent::Stop()
{
    if (!running_) {
        return;
    }
    running_ = false;
    tick_.cancel();
    subagent_->Stop();
    subagent_.reset();
}

int SnmpAgent::PositionOf(std::size_t ups) const
{
    for (std::size_t position = 0; position < served_.size(); ++position) {
        if (served_[position].index == ups) {
            return static_cast<int>(position);
        }
    }
    return -1;
}

std::uint32_t SnmpAgent::Uptime(std::chrono::steady_clock::time_point now) const
{
    const auto centiseconds =
        std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::centi>>(now - started_);
    return static_cast<std::uint32_t>(centiseconds.count());
}

void SnmpAgent::Refresh(std::size_t position, const std::vector<site::UpsSnapshot>& snapshots)
{
    const std::size_t index = served_[position].index;
    if (index < snapshots.size()) {
        data_[position].snapshot = snapshots[index];
    }
}

void SnmpAgent::Publish(std::size_t position)
{
    data_[position].alarms = state_[position].alarms.Rows();
    data_[position].line_bads = state_[position].line_bads;
    std::lock_guard<std::mutex> lock(shared_.mutex);
    shared_.ups[position] = data_[position];
}

void SnmpAgent::Notify(std::size_t, std::uint8_t trap, std::vector<Instance> varbinds)
{
    {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        shared_.notifications.push_back(Notification{trap, std::move(varbinds)});
    }
    if (subagent_) {
        subagent_->Wake();
    }
}

// The agent's own conditions: data gone stale (upsAlarmCommunicationsLost)
// and the UPS on battery (upsTrapOnBattery, repeated while it lasts).
void SnmpAgent::Evaluate(std::size_t position, std::chrono::steady_clock::time_point now)
{
    State& state = state_[position];
    const site::UpsSnapshot& snapshot = data_[position].snapshot;
    // A UPS that has not answered yet is given its staleness limit from the
    // start before it counts as lost.
    const bool lost = snapshot.last ? snapshot.Stale(now) : now - started_ > snapshot.stale_after;
    if (lost != state.communications_lost) {
        state.communications_lost = lost;
        const auto change = state.alarms.Set(AlarmTable::kCommunicationsLost, lost, Uptime(now));
        if (change) {
            Notify(position,
                   change->added ? catalogue::kTrapAlarmEntryAdded
                                 : catalogue::kTrapAlarmEntryRemoved,
                   AlarmTrapVarbinds(served_[position].name, change->row));
        }
    }
    const bool on_battery =
        !snapshot.Stale(now) && catalogue::OnBattery(snapshot.last->record.data());
    if (on_battery &&
        (!state.on_battery || now - state.last_on_battery_trap >= options_.on_battery_repeat)) {
        state.last_on_battery_trap = now;
        Notify(position, catalogue::kTrapOnBattery, OnBatteryTrapVarbinds(data_[position]));
    }
    state.on_battery = on_battery;
    Publish(position);
}

void SnmpAgent::RoundCompleted(std::size_t ups)
{
    const int position = PositionOf(ups);
    if (!running_ || position < 0) {
        return;
    }
    Refresh(static_cast<std::size_t>(position), snapshots_());
    Evaluate(static_cast<std::size_t>(position), std::chrono::steady_clock::now());
}

void SnmpAgent::LineChanged(std::size_t ups)
{
    RoundCompleted(ups);
}

void SnmpAgent::AlarmChanged(std::size_t ups, std::size_t alarm_row, bool active)
{
    const int found = PositionOf(ups);
    if (!running_ || found < 0 || alarm_row >= ::kStatusAlarmCount) {
        return;
    }
    const auto position = static_cast<std::size_t>(found);
    Refresh(position, snapshots_());
    State& state = state_[position];
    const auto& last = data_[position].snapshot.last;
    // Alarms of the UPS's first round were there before the agent saw them:
    // their time is 0, as the MIB asks for conditions present at start-up.
    const std::uint32_t ticks =
        !last || last->sequence <= 1 ? 0 : Uptime(std::chrono::steady_clock::now());
    const bool was_active = state.alarms.Active(alarm_row);
    if (alarm_row == 1 && active && !was_active) {
        ++state.line_bads; // InptFail: the input went out of tolerance
    }
    const auto change = state.alarms.Set(alarm_row, active, ticks);
    Publish(position);
    if (change) {
        Notify(position,
               change->added ? catalogue::kTrapAlarmEntryAdded : catalogue::kTrapAlarmEntryRemoved,
               AlarmTrapVarbinds(served_[position].name, change->row));
    }
}

void SnmpAgent::Tick()
{
    const std::vector<site::UpsSnapshot> snapshots = snapshots_();
    const auto now = std::chrono::steady_clock::now();
    for (std::size_t position = 0; position < served_.size(); ++position) {
        Refresh(position, snapshots);
        Evaluate(position, now);
    }
    tick_.expires_after(options_.tick);
    tick_.async_wait([this](const boost::system::error_code& error) {
        if (!error && running_) {
            Tick();
        }
    });
}

} // namespace snmp
