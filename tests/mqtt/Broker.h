// The real MQTT components the publisher's tests use: Debian's mosquitto
// broker on 127.0.0.1 and a free port, with a configuration and persistence
// in a temporary folder, stopped and started again on the same port; and
// mosquitto_sub as the consumer, with a persistent session so that what the
// broker queued for it while it was away reaches it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace mqtttest
{

bool HaveMosquitto();

// A TCP port on 127.0.0.1 nobody listens on right now.
int FreePort();

// Starts a program with its output appended to `log`; dies with the test.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& log);
// SIGTERM (or `signal`), then SIGKILL if it lingers; waits for it.
void Stop(pid_t& pid, int signal = 15);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

class Broker
{
public:
    // `extra`: more lines of mosquitto.conf for the listener (TLS, passwords).
    Broker(const std::string& dir, std::string extra = "");
    ~Broker();
    // Starts it and waits until it accepts connections.
    bool Start();
    // SIGTERM: it saves its persistence file; SIGKILL: it does not.
    void Stop(int signal = 15);
    int port() const { return port_; }
    std::string Log() const { return ReadFile(log_); }

private:
    std::string dir_;
    std::string log_;
    int port_;
    pid_t pid_ = -1;
};

// One message as mosquitto_sub -v prints it.
struct Received {
    std::string topic;
    std::string payload;
};

class Subscriber
{
public:
    // mosquitto_sub -c (a persistent session), QoS 1, on these topic filters.
    Subscriber(const std::string& dir, int port, const std::vector<std::string>& topics,
               const std::string& id = "test-consumer");
    ~Subscriber();
    void Stop();
    // Everything received so far, in order.
    std::vector<Received> Messages() const;
    // Waits until it is subscribed (a message on a probe topic comes back).
    bool WaitSubscribed(int port);

private:
    std::string out_;
    pid_t pid_ = -1;
};

// mosquitto_pub -t TOPIC -m PAYLOAD, as client `id` if one is given.
bool Publish(int port, const std::string& topic, const std::string& payload, bool retain = false,
             const std::string& id = "");

template <class Done> bool WaitFor(Done&& done, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        struct timespec pause = {0, 50 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

} // namespace mqtttest
