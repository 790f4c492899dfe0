// The site's MQTT output: every completed round and every alarm change,
// through the outbox (Outbox.h) to the broker of the "mqtt" section of the
// site configuration, the retained state and availability topics, and Home
// Assistant discovery.  docs/MQTT.md describes it for people.
//
// The publisher lives on the site's io_context and never blocks it:
// libmosquitto's socket is watched by Asio (a stream_descriptor's
// async_wait for reading, and for writing while libmosquitto has bytes
// queued) and a timer does its keep-alive; each time mosquitto_loop() is
// called with a zero timeout, so it only does what is ready.  Everything,
// callbacks included, runs on the io_context's thread: the outbox, the
// snapshots and the counters need no locks, and an acknowledgement deletes
// its entry from the database on the thread that wrote it.  (libmosquitto's
// own thread would have needed every result posted back, and it reports a
// failed connection attempt to nobody.)  The one wait left is libmosquitto's
// name lookup when it connects: give the broker as an address or a name in
// /etc/hosts where DNS may hang.
//
// Delivery: each round and alarm change is committed to the outbox first,
// then published, oldest first, with at most max_in_flight unacknowledged;
// an entry is deleted when the broker acknowledges it (PUBACK for QoS 1,
// PUBCOMP for 2, sent for 0).  After a lost connection a new session starts
// from the oldest entry left, so what was in flight goes again: consumers
// drop duplicates by (ups, sequence).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "Messages.h"
#include "Outbox.h"
#include "SiteConfig.h"
#include "SiteEvents.h"

struct mosquitto;
struct mosquitto_message;

namespace mqtt
{

// One line for people, without the program's name.
using LogFn = std::function<void(const std::string& line)>;

struct PublisherOptions {
    // One line per event; empty: stderr, after "halx-host: mqtt: ".
    LogFn log;
    std::chrono::milliseconds retry_first{500}; // after a failed or lost connection
    std::chrono::milliseconds retry_max{30000}; // the back-off doubles up to this
    std::chrono::milliseconds tick{250};        // libmosquitto's keep-alive and timeouts
    // A connection not accepted (CONNACK) within this is given up and retried.
    std::chrono::milliseconds connect_timeout{10000};
};

struct PublisherCounters {
    std::uint64_t queued = 0;       // entries committed to the outbox
    std::uint64_t published = 0;    // outbox entries handed to the broker (again ones included)
    std::uint64_t acknowledged = 0; // outbox entries acknowledged and deleted
    std::uint64_t dropped = 0;      // oldest entries dropped for the outbox's bound
    std::uint64_t resent = 0;       // entries published again in a new session
    std::uint64_t connects = 0;     // sessions the broker accepted
    std::uint64_t failures = 0;     // connections refused, failed or lost
};

class Publisher final : public site::SiteEvents
{
public:
    // `site` gives the mqtt section and the UPSes; `snapshots` is read on the
    // io_context's thread; `database` is the site's SQLite file (the outbox
    // is opened there at once: throws sitedb::Error when it cannot be).
    Publisher(boost::asio::io_context& io, const site::SiteConfig& site,
              site::SnapshotsFn snapshots, const std::string& database,
              PublisherOptions options = {});
    ~Publisher() override;
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // Starts connecting; returns at once.  Call on the io_context's thread.
    void Start();
    // Says "offline" on the site's availability topic, disconnects and
    // stops; what the outbox holds stays for the next start.
    void Stop();

    void RoundCompleted(std::size_t ups) override;
    void AlarmChanged(std::size_t ups, std::size_t alarm_row, bool active) override;
    void LineChanged(std::size_t ups) override;

    // Entries in the outbox (the Prometheus metric ups_mqtt_outbox_entries).
    std::uint64_t OutboxDepth() const { return outbox_.Depth(); }
    const PublisherCounters& Counters() const { return counters_; }
    // The broker accepted the session and it is up.
    bool Connected() const { return state_ == State::Connected; }

private:
    enum class State { Stopped, Waiting, Connecting, Connected };

    static void OnConnect(struct mosquitto*, void* self, int rc);
    static void OnDisconnect(struct mosquitto*, void* self, int rc);
    static void OnPublish(struct mosquitto*, void* self, int mid);
    static void OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* message);
    static void OnLog(struct mosquitto*, void* self, int level, const char* text);

    void Log(const std::string& line);
    // Tells a failure once until the connection comes back or the reason changes.
    void TellFailure(const std::string& line);
    std::string Broker() const;

    bool NewClient(std::string& why);
    void Connect();
    void Lost(const std::string& why);
    std::string WhyFailed(int rc, int saved_errno);
    void ScheduleRetry();
    void Watch();
    void Service();
    void Tick();
    void ReleaseSocket();

    void Enqueue(OutboxEntry entry);
    void Pump();
    void FlushAcks();
    void PublishDirect(const Message& message, int qos);
    void PublishState(std::size_t ups, const site::UpsSnapshot& snapshot);
    void PublishDiscovery();
    void PublishAvailability(std::size_t ups, const site::UpsSnapshot& snapshot);
    void PublishAvailabilities();

    boost::asio::io_context& io_;
    const site::MqttConfig config_;
    const std::string site_;
    std::vector<std::string> ups_names_;
    site::SnapshotsFn snapshots_;
    PublisherOptions options_;
    Outbox outbox_;
    PublisherCounters counters_;

    struct mosquitto* mosq_ = nullptr;
    State state_ = State::Stopped;
    boost::asio::posix::stream_descriptor socket_;
    int socket_fd_ = -1;
    bool reading_ = false;
    bool writing_ = false;
    boost::asio::steady_timer retry_;
    boost::asio::steady_timer tick_;
    std::chrono::milliseconds backoff_;
    std::chrono::steady_clock::time_point connect_started_{};
    std::string last_failure_;   // told already
    std::string last_log_error_; // libmosquitto's first error line of the attempt (TLS's reasons)
    std::string tls_reason_;     // OpenSSL's last reason, kept across attempts
    std::string reason_;         // why the broker refused the attempt, if it did
    unsigned generation_ = 0;    // of the socket's waits; older ones are ignored
    unsigned ticks_ = 0;
    bool told_dropping_ = false;
    bool in_service_ = false;

    // Entries read from the outbox (or just added) and not yet published,
    // oldest first; caught_up_: nothing newer waits in the database.
    std::deque<OutboxEntry> queued_;
    bool caught_up_ = false;
    std::int64_t last_id_ = 0;                        // newest entry queued or published
    std::unordered_map<int, std::int64_t> in_flight_; // mid -> entry id
    std::vector<std::int64_t> acked_;                 // to delete, in one transaction
    bool flush_posted_ = false;
    std::int64_t highest_published_ = 0;

    // Per UPS: the retained state topics' last payloads in this session,
    // and whether discovery went out.
    std::vector<std::map<std::string, std::string>> state_sent_;
    std::vector<bool> discovered_;
    std::vector<std::string> availability_sent_;
    std::shared_ptr<bool> alive_;
};

} // namespace mqtt
