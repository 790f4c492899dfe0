// A site served by the metrics listener on an io_context of its own thread,
// as halx-host serves it, with a timer on the same io_context that ticks
// every 10 ms and notes the longest gap between two ticks: the listener must
// never hold the loop up.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "MetricsServer.h"
#include "TestSite.h"

namespace metrics_test
{

// Listening on a port of the system's choice on 127.0.0.1.
inline site::PrometheusConfig
LocalConfig(std::size_t max_connections = 16,
            std::chrono::milliseconds timeout = std::chrono::milliseconds(500))
{
    site::PrometheusConfig config;
    config.enabled = true;
    config.listen = {site::ParseListenAddress("127.0.0.1:0")};
    config.max_connections = max_connections;
    config.request_timeout = timeout;
    return config;
}

// The fixture: site_ is served once Serve() is called; change it through
// OnLoop only.
class Served : public testing::Test
{
protected:
    void SetUp() override { site_ = {FreshUps("ups1", ThreePhaseUps())}; }

    void Serve(site::PrometheusConfig config = LocalConfig())
    {
        metrics::MetricsSource source;
        source.snapshots = [this](std::vector<const site::UpsSnapshot*>& out) {
            if (source_fails_) {
                throw std::runtime_error("the site cannot be read");
            }
            for (const site::UpsSnapshot& ups : site_) {
                out.push_back(&ups);
            }
        };
        source.outbox_depth = [this]() { return outbox_; };
        server_.emplace(io_, std::move(config), std::move(source));
        server_->Start();
        port_ = server_->Endpoints().at(0).port();
        last_tick_ = std::chrono::steady_clock::now();
        Tick();
        thread_ = std::thread([this] { io_.run(); });
    }

    void TearDown() override
    {
        if (thread_.joinable()) {
            boost::asio::post(io_, [this] {
                server_->Stop();
                ticker_.cancel();
                stopping_ = true;
            });
            guard_.reset();
            thread_.join();
        }
    }

    // Runs `change` on the io_context's thread, as the pollers would.
    void OnLoop(std::function<void()> change)
    {
        std::promise<void> done;
        boost::asio::post(io_, [&] {
            change();
            done.set_value();
        });
        done.get_future().wait();
    }

    long LongestGapMs() const { return longest_gap_ms_.load(); }
    long Ticks() const { return ticks_.load(); }

    std::vector<site::UpsSnapshot> site_;
    std::optional<std::uint64_t> outbox_;
    bool source_fails_ = false; // the snapshots callback throws
    std::uint16_t port_ = 0;

private:
    void Tick()
    {
        ticker_.expires_after(std::chrono::milliseconds(10));
        ticker_.async_wait([this](const boost::system::error_code& ec) {
            if (ec || stopping_) {
                return;
            }
            const auto now = std::chrono::steady_clock::now();
            const long gap = static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(now - last_tick_).count());
            last_tick_ = now;
            if (gap > longest_gap_ms_.load()) {
                longest_gap_ms_.store(gap);
            }
            ++ticks_;
            Tick();
        });
    }

    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_ =
        boost::asio::make_work_guard(io_);
    boost::asio::steady_timer ticker_{io_};
    std::chrono::steady_clock::time_point last_tick_;
    std::atomic<long> longest_gap_ms_{0};
    std::atomic<long> ticks_{0};
    bool stopping_ = false;
    std::optional<metrics::MetricsServer> server_;
    std::thread thread_;
};

} // namespace metrics_test
