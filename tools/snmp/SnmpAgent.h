// The site's UPSes as the UPS-MIB (RFC 1628) through the host's SNMP master
// agent: an AgentX subagent, enabled by the "snmp" section of the site
// configuration.  docs/SNMP.md describes it for people.
//
// SnmpAgent lives on the site's io_context: it takes the site's events
// (SiteEvents), keeps each served UPS's alarm table, counts and decides the
// notifications, and on a periodic tick notices data going stale.  The
// net-snmp subagent itself runs on a thread of its own (Subagent.h says why);
// this side only copies data into it and never waits for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "SiteConfig.h"
#include "SiteEvents.h"
#include "Subagent.h"

namespace snmp
{

struct AgentOptions {
    // upsIdentAgentSoftwareVersion; empty: "halx-host" and the project's version.
    std::string agent_version;
    // One line per event; empty: stderr, after "halx-host: snmp: ".
    LogFn log;
    // How often the agent looks for stale data and repeats upsTrapOnBattery.
    std::chrono::milliseconds tick{1000};
    // upsTrapOnBattery is resent this often while the UPS stays on battery.
    std::chrono::milliseconds on_battery_repeat{60000};
    std::chrono::milliseconds retry_first{500};
    std::chrono::milliseconds retry_max{30000};
};

class SnmpAgent final : public site::SiteEvents
{
public:
    // `site` names the UPSes and the snmp section; `snapshots` is read on the
    // io_context's thread.  Nothing starts before Start().
    SnmpAgent(boost::asio::io_context& io, const site::SiteConfig& site,
              site::SnapshotsFn snapshots, AgentOptions options = {});
    ~SnmpAgent() override;
    SnmpAgent(const SnmpAgent&) = delete;
    SnmpAgent& operator=(const SnmpAgent&) = delete;

    // Starts the subagent's thread and the tick; returns at once, whether or
    // not the master agent is there.  Call on the io_context's thread.
    void Start();
    void Stop();

    void RoundCompleted(std::size_t ups) override;
    void AlarmChanged(std::size_t ups, std::size_t alarm_row, bool active) override;
    void LineChanged(std::size_t ups) override;

    // The AgentX session is open.
    bool Connected() const { return subagent_ && subagent_->Connected(); }
    // The UPSes served, and in which contexts ("" the default one).
    const std::vector<Served>& ServedUps() const { return served_; }

private:
    struct State {
        AlarmTable alarms;
        std::uint32_t line_bads = 0;
        bool communications_lost = false;
        bool on_battery = false;
        std::chrono::steady_clock::time_point last_on_battery_trap{};
    };

    // The served position of a UPS index, or -1.
    int PositionOf(std::size_t ups) const;
    void Refresh(std::size_t position, const std::vector<site::UpsSnapshot>& snapshots);
    void Evaluate(std::size_t position, std::chrono::steady_clock::time_point now);
    void Publish(std::size_t position);
    void Notify(std::size_t position, std::uint8_t trap, std::vector<Instance> varbinds);
    void Tick();
    std::uint32_t Uptime(std::chrono::steady_clock::time_point now) const;

    const site::SnmpConfig config_;
    site::SnapshotsFn snapshots_;
    AgentOptions options_;
    std::vector<Served> served_;
    std::vector<State> state_;
    std::vector<UpsData> data_; // this side's copy; published into shared_
    Shared shared_;
    std::unique_ptr<Subagent> subagent_;
    boost::asio::steady_timer tick_;
    std::chrono::steady_clock::time_point started_;
    bool running_ = false;
};

} // namespace snmp
