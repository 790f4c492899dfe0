#include "Publisher.h"

#include <mosquitto.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include <boost/asio/post.hpp>

namespace mqtt
{
namespace
{

// mosquitto_lib_init once per process, before the first client.
void InitLibrary()
{
    static const int done = mosquitto_lib_init();
    (void)done;
}

// A libmosquitto result for people; errno's text for MOSQ_ERR_ERRNO.
std::string Describe(int rc, int saved_errno)
{
    if (rc == MOSQ_ERR_ERRNO) {
        return std::strerror(saved_errno);
    }
    return mosquitto_strerror(rc);
}

bool Readable(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

} // namespace

Publisher::Publisher(boost::asio::io_context& io, const site::SiteConfig& site,
                     site::SnapshotsFn snapshots, const std::string& database,
                     PublisherOptions options)
    : io_(io), config_(site.mqtt), site_(site.site), snapshots_(std::move(snapshots)),
      options_(std::move(options)), outbox_(database, site.mqtt.outbox_max), socket_(io),
      retry_(io), tick_(io), backoff_(options_.retry_first), alive_(std::make_shared<bool>(true))
{
    InitLibrary();
    for (const site::UpsConfig& ups : site.ups) {
        ups_names_.push_back(ups.name);
    }
    state_sent_.resize(ups_names_.size());
    discovered_.assign(ups_names_.size(), false);
    availability_sent_.assign(ups_names_.size(), std::string());
}

Publisher::~Publisher()
{
    *alive_ = false;
    Stop();
}

void Publisher::Log(const std::string& line)
{
    if (options_.log) {
        options_.log(line);
    } else {
        std::cerr << "halx-host: mqtt: " << line << std::endl;
    }
}

void Publisher::TellFailure(const std::string& line)
{
    if (line != last_failure_) {
        Log(line);
        last_failure_ = line;
    }
}

std::string Publisher::Broker() const
{
    return config_.host + ":" + std::to_string(config_.port);
}

void Publisher::Start()
{
    if (state_ != State::Stopped) {
        return;
    }
    state_ = State::Waiting;
    if (outbox_.Depth() > 0) {
        Log("the outbox holds " + std::to_string(outbox_.Depth()) +
            " entries from before, delivered once connected");
    }
    Connect();
    Tick();
}

void Publisher::Stop()
{
    if (state_ == State::Stopped) {
        return;
    }
    if (state_ == State::Connected && mosq_ != nullptr) {
        const std::string offline = "offline";
        mosquitto_publish(mosq_, nullptr, SiteAvailabilityTopic(config_.topic_prefix).c_str(),
                          static_cast<int>(offline.size()), offline.data(), 1, true);
        mosquitto_disconnect(mosq_);
        // What fits into the socket now goes; nothing is waited for.
        mosquitto_loop_write(mosq_, 1);
    }
    FlushAcks();
    state_ = State::Stopped;
    retry_.cancel();
    tick_.cancel();
    ReleaseSocket();
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
}

bool Publisher::NewClient(std::string& why)
{
    ReleaseSocket();
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    // A clean session each time: what was in flight is resent from the
    // outbox, so the broker keeps nothing for us.
    mosq_ = mosquitto_new(config_.client_id.c_str(), true, this);
    if (mosq_ == nullptr) {
        why = std::string("cannot make a client: ") + std::strerror(errno);
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mosq_, static_cast<unsigned>(config_.max_in_flight));
    mosquitto_connect_callback_set(mosq_, &Publisher::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &Publisher::OnDisconnect);
    mosquitto_publish_callback_set(mosq_, &Publisher::OnPublish);
    mosquitto_message_callback_set(mosq_, &Publisher::OnMessage);
    mosquitto_log_callback_set(mosq_, &Publisher::OnLog);
    const std::string offline = "offline";
    int rc = mosquitto_will_set(mosq_, SiteAvailabilityTopic(config_.topic_prefix).c_str(),
                                static_cast<int>(offline.size()), offline.data(), 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !config_.username.empty()) {
        rc = mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                                       config_.password.empty() ? nullptr
                                                                : config_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && config_.tls.enabled) {
        const char* ca = config_.tls.ca_file.empty() ? nullptr : config_.tls.ca_file.c_str();
        if (ca == nullptr) {
            mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        }
        const char* cert = config_.tls.cert_file.empty() ? nullptr : config_.tls.cert_file.c_str();
        const char* key = config_.tls.key_file.empty() ? nullptr : config_.tls.key_file.c_str();
        rc = mosquitto_tls_set(mosq_, ca, ca == nullptr ? "/etc/ssl/certs" : nullptr, cert, key,
                               nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            why = "TLS settings refused (" + std::string(mosquitto_strerror(rc)) +
                  "): check that ca_file, cert_file and key_file can be read";
            return false;
        }
        if (config_.tls.insecure) {
            mosquitto_tls_insecure_set(mosq_, true);
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        why = mosquitto_strerror(rc);
        return false;
    }
    return true;
}

void Publisher::Connect()
{
    if (state_ == State::Stopped) {
        return;
    }
    std::string why;
    if (!NewClient(why)) {
        state_ = State::Waiting;
        ++counters_.failures;
        TellFailure("cannot connect to " + Broker() + ": " + why);
        ScheduleRetry();
        return;
    }
    last_log_error_.clear();
    reason_.clear();
    errno = 0;
    const int rc = mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port,
                                           static_cast<int>(config_.keepalive.count()));
    const int saved = errno;
    state_ = State::Connecting;
    connect_started_ = std::chrono::steady_clock::now();
    if (rc != MOSQ_ERR_SUCCESS) {
        Lost(WhyFailed(rc, saved));
        return;
    }
    Watch();
}

std::string Publisher::WhyFailed(int rc, int saved_errno)
{
    if (rc != MOSQ_ERR_TLS) {
        return Describe(rc, saved_errno);
    }
    // OpenSSL does not always say why again on a retry: the reason it gave
    // last stands.
    if (!last_log_error_.empty()) {
        tls_reason_ = last_log_error_;
    }
    return tls_reason_.empty() ? Describe(rc, saved_errno) : "TLS: " + tls_reason_;
}

void Publisher::Lost(const std::string& why)
{
    const bool was_connected = state_ == State::Connected;
    ++counters_.failures;
    FlushAcks();
    if (was_connected) {
        std::string line = "connection to " + Broker() + " lost: " + why;
        if (!in_flight_.empty()) {
            line += "; " + std::to_string(in_flight_.size()) +
                    " unacknowledged entries go again after reconnecting";
        }
        last_failure_.clear();
        TellFailure(line);
    } else if (!reason_.empty()) {
        TellFailure(reason_);
    } else {
        TellFailure("cannot connect to " + Broker() + ": " + why +
                    "; retrying, the outbox keeps what comes meanwhile");
    }
    ReleaseSocket();
    state_ = State::Waiting;
    in_flight_.clear();
    queued_.clear();
    caught_up_ = false;
    last_id_ = 0;
    for (auto& sent : state_sent_) {
        sent.clear();
    }
    std::fill(discovered_.begin(), discovered_.end(), false);
    std::fill(availability_sent_.begin(), availability_sent_.end(), std::string());
    ScheduleRetry();
}

void Publisher::ScheduleRetry()
{
    retry_.expires_after(backoff_);
    backoff_ = std::min(backoff_ * 2, options_.retry_max);
    retry_.async_wait([this, alive = alive_](const boost::system::error_code& ec) {
        if (ec || !*alive) {
            return;
        }
        Connect();
    });
}

void Publisher::ReleaseSocket()
{
    ++generation_;
    reading_ = false;
    writing_ = false;
    if (socket_.is_open()) {
        boost::system::error_code ignored;
        socket_.cancel(ignored);
        // libmosquitto owns the descriptor and closes it.
        socket_.release();
    }
    socket_fd_ = -1;
}

void Publisher::Watch()
{
    if (mosq_ == nullptr || in_service_ || state_ == State::Stopped) {
        return;
    }
    const int fd = mosquitto_socket(mosq_);
    if (fd < 0) {
        return;
    }
    if (fd != socket_fd_) {
        ReleaseSocket();
        boost::system::error_code ec;
        socket_.assign(fd, ec);
        if (ec) {
            return; // the tick still drives it
        }
        socket_fd_ = fd;
    }
    const auto ready = [this, alive = alive_,
                        generation = generation_](bool& flag, const boost::system::error_code& ec) {
        if (!*alive || generation != generation_) {
            return;
        }
        flag = false;
        if (!ec) {
            Service();
        }
    };
    if (!reading_) {
        reading_ = true;
        socket_.async_wait(
            boost::asio::posix::stream_descriptor::wait_read,
            [this, ready](const boost::system::error_code& ec) { ready(reading_, ec); });
    }
    if (!writing_ && mosquitto_want_write(mosq_)) {
        writing_ = true;
        socket_.async_wait(
            boost::asio::posix::stream_descriptor::wait_write,
            [this, ready](const boost::system::error_code& ec) { ready(writing_, ec); });
    }
}

void Publisher::Service()
{
    if (mosq_ == nullptr || in_service_ ||
        (state_ != State::Connecting && state_ != State::Connected)) {
        return;
    }
    // Asio's reactor tells readiness once (edge-triggered): read while the
    // socket still has bytes, a bounded number of times, then come back.
    for (int round = 0; round < 64; ++round) {
        in_service_ = true;
        errno = 0;
        const int rc = mosquitto_loop(mosq_, 0, 1);
        const int saved = errno;
        in_service_ = false;
        if (state_ == State::Stopped) {
            return;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            const std::string why = WhyFailed(rc, saved);
            Lost(why);
            return;
        }
        if (mosquitto_socket(mosq_) < 0) {
            Lost("the connection was closed");
            return;
        }
        Pump();
        const int fd = mosquitto_socket(mosq_);
        if (round + 1 == 64) {
            boost::asio::post(io_, [this, alive = alive_] {
                if (*alive) {
                    Service();
                }
            });
        }
        if (!Readable(fd)) {
            break;
        }
    }
    Watch();
}

void Publisher::Tick()
{
    tick_.expires_after(options_.tick);
    tick_.async_wait([this, alive = alive_](const boost::system::error_code& ec) {
        if (ec || !*alive || state_ == State::Stopped) {
            return;
        }
        if (state_ == State::Connecting &&
            std::chrono::steady_clock::now() - connect_started_ > options_.connect_timeout) {
            Lost("no answer within " + std::to_string(options_.connect_timeout.count() / 1000) +
                 " s");
        } else if (state_ == State::Connecting || state_ == State::Connected) {
            Service();
        }
        if (state_ == State::Connected && ++ticks_ % 4 == 0) {
            PublishAvailabilities();
        }
        Tick();
    });
}

// --- libmosquitto's callbacks, all inside mosquitto_loop on our thread ---

void Publisher::OnConnect(struct mosquitto*, void* self, int rc)
{
    auto* p = static_cast<Publisher*>(self);
    if (rc != 0) {
        p->reason_ =
            "broker " + p->Broker() + " refused the connection: " + mosquitto_connack_string(rc);
        return;
    }
    p->state_ = State::Connected;
    p->backoff_ = p->options_.retry_first;
    ++p->counters_.connects;
    p->last_failure_.clear();
    p->tls_reason_.clear();
    p->Log("connected to " + p->Broker() +
           (p->outbox_.Depth() > 0
                ? ", delivering " + std::to_string(p->outbox_.Depth()) + " entries of the outbox"
                : std::string()));
    if (p->config_.discovery) {
        mosquitto_subscribe(p->mosq_, nullptr, (p->config_.discovery_prefix + "/status").c_str(),
                            1);
    }
    p->PublishDirect({SiteAvailabilityTopic(p->config_.topic_prefix), "online", true}, 1);
    const std::vector<site::UpsSnapshot> snapshots =
        p->snapshots_ ? p->snapshots_() : std::vector<site::UpsSnapshot>();
    for (std::size_t i = 0; i < p->ups_names_.size() && i < snapshots.size(); ++i) {
        p->PublishAvailability(i, snapshots[i]);
        p->PublishState(i, snapshots[i]);
    }
    p->PublishDiscovery();
}

void Publisher::OnDisconnect(struct mosquitto*, void*, int) {}

void Publisher::OnPublish(struct mosquitto*, void* self, int mid)
{
    auto* p = static_cast<Publisher*>(self);
    const auto it = p->in_flight_.find(mid);
    if (it == p->in_flight_.end()) {
        return; // a retained state, availability or discovery message
    }
    p->acked_.push_back(it->second);
    p->in_flight_.erase(it);
    ++p->counters_.acknowledged;
    if (!p->flush_posted_) {
        p->flush_posted_ = true;
        boost::asio::post(p->io_, [p, alive = p->alive_] {
            if (*alive) {
                p->FlushAcks();
            }
        });
    }
}

void Publisher::OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* message)
{
    auto* p = static_cast<Publisher*>(self);
    if (message == nullptr || message->topic == nullptr) {
        return;
    }
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(std::max(message->payloadlen, 0)));
    if (p->config_.discovery && message->topic == p->config_.discovery_prefix + "/status" &&
        payload == "online") {
        std::fill(p->discovered_.begin(), p->discovered_.end(), false);
        p->PublishDiscovery();
    }
}

void Publisher::OnLog(struct mosquitto*, void* self, int level, const char* text)
{
    if (level != MOSQ_LOG_ERR || text == nullptr) {
        return;
    }
    auto* p = static_cast<Publisher*>(self);
    std::string line = text;
    // "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed"
    const std::size_t colon = line.find("]: ");
    if (line.rfind("OpenSSL Error", 0) == 0 && colon != std::string::npos) {
        line = line.substr(colon + 3);
    }
    if (p->last_log_error_.empty()) {
        p->last_log_error_ = line;
    }
}

// --- The outbox and the messages ---

void Publisher::Enqueue(OutboxEntry entry)
{
    std::size_t dropped = 0;
    try {
        dropped = outbox_.Add(entry);
    } catch (const sitedb::Error& e) {
        Log(std::string("cannot keep a message in the outbox: ") + e.what() + "; it is lost");
        return;
    }
    ++counters_.queued;
    if (dropped > 0) {
        counters_.dropped += dropped;
        if (!told_dropping_) {
            told_dropping_ = true;
            Log("the outbox is full (" + std::to_string(outbox_.MaxEntries()) +
                " entries): the oldest are dropped from now on, and counted");
        }
        const std::int64_t last = outbox_.LastDroppedId();
        while (!queued_.empty() && queued_.front().id <= last) {
            queued_.pop_front();
        }
    }
    if (caught_up_ && queued_.size() < 4096) {
        last_id_ = entry.id;
        queued_.push_back(std::move(entry));
    } else {
        caught_up_ = false;
    }
    Pump();
    Watch();
}

void Publisher::Pump()
{
    if (state_ != State::Connected || mosq_ == nullptr) {
        return;
    }
    while (in_flight_.size() < config_.max_in_flight) {
        if (queued_.empty()) {
            if (caught_up_) {
                break;
            }
            constexpr std::size_t kBatch = 512;
            std::vector<OutboxEntry> batch;
            try {
                batch = outbox_.After(last_id_, kBatch);
            } catch (const sitedb::Error& e) {
                TellFailure(std::string("cannot read the outbox: ") + e.what());
                break;
            }
            caught_up_ = batch.size() < kBatch;
            if (batch.empty()) {
                break;
            }
            last_id_ = batch.back().id;
            for (OutboxEntry& e : batch) {
                queued_.push_back(std::move(e));
            }
        }
        const OutboxEntry& e = queued_.front();
        int mid = 0;
        const int rc =
            mosquitto_publish(mosq_, &mid, e.topic.c_str(), static_cast<int>(e.payload.size()),
                              e.payload.data(), e.qos, e.retain);
        if (rc != MOSQ_ERR_SUCCESS) {
            break; // the connection is in trouble: the loop will tell
        }
        if (e.id <= highest_published_) {
            ++counters_.resent;
        }
        highest_published_ = std::max(highest_published_, e.id);
        ++counters_.published;
        in_flight_[mid] = e.id;
        queued_.pop_front();
    }
}

void Publisher::FlushAcks()
{
    flush_posted_ = false;
    if (acked_.empty()) {
        return;
    }
    try {
        outbox_.Remove(acked_);
    } catch (const sitedb::Error& e) {
        TellFailure(std::string("cannot delete acknowledged entries from the outbox: ") + e.what() +
                    " (they will go again)");
    }
    acked_.clear();
}

void Publisher::PublishDirect(const Message& message, int qos)
{
    if (state_ != State::Connected || mosq_ == nullptr) {
        return;
    }
    mosquitto_publish(mosq_, nullptr, message.topic.c_str(),
                      static_cast<int>(message.payload.size()), message.payload.data(), qos,
                      message.retain);
}

void Publisher::PublishState(std::size_t ups, const site::UpsSnapshot& snapshot)
{
    if (state_ != State::Connected || !snapshot.last || ups >= state_sent_.size()) {
        return;
    }
    std::map<std::string, std::string>& sent = state_sent_[ups];
    std::map<std::string, std::string> now;
    for (Message& m : StateMessages(config_.topic_prefix, snapshot.name, *snapshot.last)) {
        const auto it = sent.find(m.topic);
        if (it == sent.end() || it->second != m.payload) {
            PublishDirect(m, 0);
        }
        now.emplace(std::move(m.topic), std::move(m.payload));
    }
    // A value the record no longer has (ups.alarm once no alarm is active,
    // a line no longer in use): its retained message is deleted rather than
    // left showing the old value.
    for (const auto& [topic, payload] : sent) {
        if (now.count(topic) == 0) {
            PublishDirect({topic, std::string(), true}, 0);
        }
    }
    sent = std::move(now);
}

void Publisher::PublishDiscovery()
{
    if (!config_.discovery || state_ != State::Connected || !snapshots_) {
        return;
    }
    const std::vector<site::UpsSnapshot> snapshots = snapshots_();
    for (std::size_t i = 0; i < snapshots.size() && i < discovered_.size(); ++i) {
        if (discovered_[i] || !snapshots[i].last) {
            continue;
        }
        for (const Message& m : DiscoveryMessages(config_.discovery_prefix, config_.topic_prefix,
                                                  site_, snapshots[i])) {
            PublishDirect(m, 1);
        }
        discovered_[i] = true;
    }
}

void Publisher::PublishAvailability(std::size_t ups, const site::UpsSnapshot& s)
{
    if (state_ != State::Connected || ups >= availability_sent_.size()) {
        return;
    }
    const bool online = s.line == site::LineState::Up && !s.Stale(std::chrono::steady_clock::now());
    const std::string payload = online ? "online" : "offline";
    if (availability_sent_[ups] != payload) {
        PublishDirect({UpsTopic(config_.topic_prefix, s.name, "availability"), payload, true}, 1);
        availability_sent_[ups] = payload;
    }
}

void Publisher::PublishAvailabilities()
{
    if (state_ != State::Connected || !snapshots_) {
        return;
    }
    const std::vector<site::UpsSnapshot> snapshots = snapshots_();
    for (std::size_t i = 0; i < snapshots.size(); ++i) {
        PublishAvailability(i, snapshots[i]);
    }
}

// --- The site's events ---

void Publisher::RoundCompleted(std::size_t ups)
{
    if (!snapshots_) {
        return;
    }
    const std::vector<site::UpsSnapshot> snapshots = snapshots_();
    if (ups >= snapshots.size() || !snapshots[ups].last) {
        return;
    }
    const site::UpsSnapshot& s = snapshots[ups];
    OutboxEntry entry;
    entry.topic = UpsTopic(config_.topic_prefix, s.name, "round");
    entry.payload = RoundPayload(s.name, s.data_id, *s.last);
    entry.qos = config_.qos;
    entry.ups = s.name;
    entry.sequence = s.last->sequence;
    Enqueue(std::move(entry));
    if (state_ == State::Connected) {
        PublishState(ups, s);
        PublishAvailability(ups, s);
        if (ups < discovered_.size() && !discovered_[ups]) {
            PublishDiscovery();
        }
        Watch();
    }
}

void Publisher::AlarmChanged(std::size_t ups, std::size_t alarm_row, bool active)
{
    if (!snapshots_ || alarm_row >= kStatusAlarmCount) {
        return;
    }
    const std::vector<site::UpsSnapshot> snapshots = snapshots_();
    if (ups >= snapshots.size()) {
        return;
    }
    const site::UpsSnapshot& s = snapshots[ups];
    site::Round round;
    if (s.last) {
        round = *s.last;
    } else {
        round.time = std::chrono::system_clock::now();
    }
    OutboxEntry entry;
    entry.topic = UpsTopic(config_.topic_prefix, s.name, "alarm");
    entry.payload = AlarmPayload(s.name, round, alarm_row, active);
    entry.qos = config_.qos;
    entry.ups = s.name;
    entry.sequence = round.sequence;
    Enqueue(std::move(entry));
    const char* key = catalogue::kAlarmMeanings[alarm_row].alarm->key;
    const Message state{UpsTopic(config_.topic_prefix, s.name, std::string("alarms/") + key),
                        active ? "ON" : "OFF", true};
    if (state_ == State::Connected && ups < state_sent_.size()) {
        state_sent_[ups][state.topic] = state.payload;
        PublishDirect(state, 0);
        Watch();
    }
}

void Publisher::LineChanged(std::size_t ups)
{
    if (state_ != State::Connected || !snapshots_) {
        return;
    }
    const std::vector<site::UpsSnapshot> snapshots = snapshots_();
    if (ups < snapshots.size()) {
        PublishAvailability(ups, snapshots[ups]);
        Watch();
    }
}

} // namespace mqtt
