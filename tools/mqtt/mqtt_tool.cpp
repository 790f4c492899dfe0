// mqtt-tool: the MQTT publisher and its outbox on their own, for the tests
// and the benchmark, without halx-host's site mode.  Not installed.
//
//   mqtt-tool --config SITE.CONF [--rate N] [--rounds N] [--first-sequence N]
//             [--alarm-every N] [--linger S] [--fill N] [--drain]
//
// Made-up rounds (TestRounds.h) of every UPS of the site configuration, N a
// second each, through the real Publisher; every --alarm-every rounds one
// alarm row is raised or cleared.  After --rounds rounds it waits up to
// --linger seconds for the outbox to empty, then exits.  --fill N commits N
// rounds to the outbox without connecting, as a backlog for the benchmark.
// On exit (or SIGTERM/SIGINT) one line of counters goes to stdout:
//   counters queued=Q published=P acknowledged=A dropped=D resent=R connects=C
//            failures=F outbox=O
// --rounds 0 runs until stopped.  --drain delivers the outbox and prints
//   drained N entries in T s: R messages/s (from the session's start)
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/program_options.hpp>

#include "Publisher.h"
#include "TestRounds.h"

namespace po = boost::program_options;

namespace
{

struct Driver {
    boost::asio::io_context io;
    site::SiteConfig config;
    std::vector<site::UpsSnapshot> snapshots;
    std::vector<std::bitset<kStatusAlarmCount>> raised;
    std::unique_ptr<mqtt::Publisher> publisher;
    boost::asio::steady_timer timer{io};
    std::uint64_t next_sequence = 1;
    std::uint64_t last_sequence = 0; // 0: no end
    std::uint64_t alarm_every = 0;
    std::chrono::nanoseconds period{};
    std::chrono::steady_clock::time_point next{};
    std::chrono::steady_clock::time_point linger_until{};
    std::chrono::milliseconds linger{0};
    bool done_polling = false;

    void Round()
    {
        const std::uint64_t sequence = next_sequence++;
        for (std::size_t i = 0; i < snapshots.size(); ++i) {
            site::UpsSnapshot& s = snapshots[i];
            std::size_t changed_row = kStatusAlarmCount;
            if (alarm_every > 0 && sequence % alarm_every == 0) {
                changed_row = (sequence / alarm_every + i) % kStatusAlarmCount;
                raised[i].flip(changed_row);
            }
            site::Round round;
            round.record = mqtt::TestRecord(s.name, sequence, s.data_id, raised[i]);
            round.time = std::chrono::system_clock::now();
            round.steady = std::chrono::steady_clock::now();
            round.sequence = sequence;
            s.last = round;
            s.line = site::LineState::Up;
            ++s.counters.completed;
            publisher->RoundCompleted(i);
            if (changed_row < kStatusAlarmCount) {
                publisher->AlarmChanged(i, changed_row, raised[i][changed_row]);
            }
        }
    }

    void Schedule()
    {
        if (last_sequence != 0 && next_sequence > last_sequence) {
            done_polling = true;
            linger_until = std::chrono::steady_clock::now() + linger;
            WaitEmpty();
            return;
        }
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
        timer.expires_at(next);
        timer.async_wait([this](const boost::system::error_code& ec) {
            if (ec) {
                return;
            }
            Round();
            Schedule();
        });
    }

    void WaitEmpty()
    {
        if (publisher->OutboxDepth() == 0 || std::chrono::steady_clock::now() >= linger_until) {
            publisher->Stop();
            io.stop();
            return;
        }
        timer.expires_after(std::chrono::milliseconds(20));
        timer.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) {
                WaitEmpty();
            }
        });
    }

    void Report() const
    {
        const mqtt::PublisherCounters& c = publisher->Counters();
        std::cout << "counters queued=" << c.queued << " published=" << c.published
                  << " acknowledged=" << c.acknowledged << " dropped=" << c.dropped
                  << " resent=" << c.resent << " connects=" << c.connects
                  << " failures=" << c.failures << " outbox=" << publisher->OutboxDepth()
                  << std::endl;
    }
};

} // namespace

int main(int argc, char** argv)
{
    po::options_description options("mqtt-tool options");
    options.add_options()("help", "this text")("config", po::value<std::string>(),
                                               "the site configuration (with an mqtt section)")(
        "rate", po::value<double>()->default_value(1.0),
        "rounds a second per UPS")("rounds", po::value<std::uint64_t>()->default_value(0),
                                   "rounds per UPS (0: until stopped)")(
        "first-sequence", po::value<std::uint64_t>()->default_value(1),
        "sequence of the first round")("alarm-every", po::value<std::uint64_t>()->default_value(0),
                                       "an alarm raised or cleared every N rounds (0: never)")(
        "linger", po::value<double>()->default_value(30.0),
        "seconds to wait at the end for the outbox to empty")(
        "fill", po::value<std::uint64_t>()->default_value(0),
        "commit N rounds per UPS to the outbox without connecting, then exit")(
        "drain", "deliver what the outbox holds, say how fast, and exit (no rounds made)");
    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, options), vm);
        po::notify(vm);
    } catch (const std::exception& e) {
        std::cerr << "mqtt-tool: " << e.what() << "\n";
        return 2;
    }
    if (vm.count("help") != 0U || vm.count("config") == 0U) {
        std::cout << options;
        return vm.count("help") != 0U ? 0 : 2;
    }
    Driver d;
    try {
        d.config = site::LoadSiteConfig(vm["config"].as<std::string>());
    } catch (const site::ConfigError& e) {
        std::cerr << "mqtt-tool: " << e.what() << "\n";
        return 2;
    }
    if (!d.config.mqtt.enabled) {
        std::cerr << "mqtt-tool: " << d.config.path << ": no enabled \"mqtt\" section\n";
        return 2;
    }
    for (const site::UpsConfig& u : d.config.ups) {
        site::UpsSnapshot s;
        s.name = u.name;
        s.description = u.description;
        s.data_id = u.data_id;
        s.stale_after = u.stale_after;
        d.snapshots.push_back(s);
    }
    d.raised.resize(d.snapshots.size());
    mqtt::PublisherOptions popts;
    popts.log = [](const std::string& line) {
        std::cerr << "halx-host: mqtt: " << line << std::endl;
    };
    try {
        d.publisher = std::make_unique<mqtt::Publisher>(
            d.io, d.config, [&d] { return d.snapshots; }, d.config.database, popts);
    } catch (const std::exception& e) {
        std::cerr << "mqtt-tool: " << d.config.database << ": " << e.what() << "\n";
        return 1;
    }
    d.next_sequence = vm["first-sequence"].as<std::uint64_t>();
    d.alarm_every = vm["alarm-every"].as<std::uint64_t>();
    const std::uint64_t fill = vm["fill"].as<std::uint64_t>();
    if (fill > 0) {
        for (std::uint64_t i = 0; i < fill; ++i) {
            d.Round();
        }
        d.Report();
        return 0;
    }
    const std::uint64_t rounds = vm["rounds"].as<std::uint64_t>();
    d.last_sequence = rounds == 0 ? 0 : d.next_sequence + rounds - 1;
    const double rate = vm["rate"].as<double>();
    if (!(rate > 0)) {
        std::cerr << "mqtt-tool: --rate must be above 0\n";
        return 2;
    }
    d.period = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / rate));
    d.linger =
        std::chrono::milliseconds(static_cast<std::int64_t>(vm["linger"].as<double>() * 1000));
    boost::asio::signal_set signals(d.io, SIGTERM, SIGINT);
    signals.async_wait([&d](const boost::system::error_code& ec, int) {
        if (!ec) {
            d.publisher->Stop();
            d.io.stop();
        }
    });
    d.publisher->Start();
    d.next = std::chrono::steady_clock::now();
    const std::uint64_t depth = d.publisher->OutboxDepth();
    std::chrono::steady_clock::time_point connected{};
    std::function<void()> poll; // lives until io.run() returns
    if (vm.count("drain") != 0U) {
        poll = [&] {
            if (connected == std::chrono::steady_clock::time_point{} && d.publisher->Connected()) {
                connected = std::chrono::steady_clock::now();
            }
            if (d.publisher->OutboxDepth() == 0 ||
                std::chrono::steady_clock::now() - d.next > d.linger) {
                const double seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - connected)
                        .count();
                const std::uint64_t delivered = depth - d.publisher->OutboxDepth();
                std::printf("drained %llu entries in %.3f s: %.0f messages/s\n",
                            static_cast<unsigned long long>(delivered), seconds,
                            seconds > 0 ? static_cast<double>(delivered) / seconds : 0.0);
                d.publisher->Stop();
                d.io.stop();
                return;
            }
            d.timer.expires_after(std::chrono::milliseconds(2));
            d.timer.async_wait([&](const boost::system::error_code& ec) {
                if (!ec) {
                    poll();
                }
            });
        };
        poll();
    } else {
        d.Schedule();
    }
    d.io.run();
    d.Report();
    return 0;
}
