// The metrics listener over real sockets: what each method and path gets,
// connections kept alive, the snapshots read at request time; clients that
// misbehave (over-long request lines and headers, garbage, bodies, silence,
// a byte at a time, never reading) cut off; the connection cap; listen
// errors; and the shared io_context kept free throughout, watched by a timer
// that must keep firing.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "Clients.h"
#include "MetricsServer.h"
#include "MetricsText.h"
#include "ServedSite.h"
#include "TestSite.h"
#include "support/ParamNames.h"

namespace
{

using namespace metrics_test;
namespace asio = boost::asio;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct RouteRow {
    const char* name;
    const char* method;
    const char* target;
    unsigned version;
    int status;
    const char* content_type; // nullptr: not checked
    const char* body_has;     // nullptr: not checked
};

class Routes : public Served, public testing::WithParamInterface<RouteRow>
{
};

TEST_P(Routes, AnswerAsTheMethodAndPathSay)
{
    Serve();
    const RouteRow& row = GetParam();
    HttpReply reply = Http(port_, row.method, row.target, row.version);
    EXPECT_EQ(reply.status, row.status);
    if (row.content_type != nullptr) {
        EXPECT_EQ(reply.headers["content-type"], row.content_type);
    }
    if (row.body_has != nullptr) {
        EXPECT_NE(reply.body.find(row.body_has), std::string::npos) << reply.body;
    }
    if (row.status == 405) {
        EXPECT_EQ(reply.headers["allow"], "GET, HEAD");
    }
    if (row.version == 10) {
        EXPECT_TRUE(reply.closed);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, Routes,
    testing::Values(RouteRow{"GetMetrics", "GET", "/metrics", 11, 200, metrics::kContentType,
                             "\nups_battery_voltage_volts{ups=\"ups1\"} 271.2\n"},
                    RouteRow{"GetMetricsWithQuery", "GET", "/metrics?name[]=up", 11, 200,
                             metrics::kContentType, "ups_alarm{"},
                    RouteRow{"GetMetricsHttp10", "GET", "/metrics", 10, 200, metrics::kContentType,
                             "ups_info{"},
                    RouteRow{"Index", "GET", "/", 11, 200, "text/html; charset=utf-8",
                             "href=\"/metrics\""},
                    RouteRow{"UnknownPath", "GET", "/metric", 11, 404, nullptr, nullptr},
                    RouteRow{"BelowMetrics", "GET", "/metrics/ups1", 11, 404, nullptr, nullptr},
                    RouteRow{"FavIcon", "GET", "/favicon.ico", 11, 404, nullptr, nullptr},
                    RouteRow{"PostMetrics", "POST", "/metrics", 11, 405, nullptr, nullptr},
                    RouteRow{"PutIndex", "PUT", "/", 11, 405, nullptr, nullptr},
                    RouteRow{"OptionsMetrics", "OPTIONS", "/metrics", 11, 405, nullptr, nullptr},
                    RouteRow{"UnknownMethod", "BREW", "/metrics", 11, 405, nullptr, nullptr},
                    RouteRow{"DeleteUnknownPath", "DELETE", "/nope", 11, 404, nullptr, nullptr}),
    RowName());

TEST_F(Served, HeadGivesTheLengthOfGetWithoutABodyOnAKeptConnection)
{
    Serve();
    HttpConnection connection(port_);
    const HttpReply get = connection.Request("GET", "/metrics");
    HttpReply head = connection.Request("HEAD", "/metrics");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.empty());
    EXPECT_EQ(head.headers["content-type"], metrics::kContentType);
    // The age in the text moves on between the two, by a few characters
    // at most.
    const long length = std::stol(head.headers["content-length"]);
    EXPECT_NEAR(static_cast<double>(length), static_cast<double>(get.body.size()), 8.0);
    // The connection still frames answers right after the bodiless one.
    const HttpReply again = connection.Request("GET", "/metrics");
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(Parse(again.body).types.count("ups_info"), 1U);
    EXPECT_EQ(connection.Request("GET", "/nope").status, 404);
    EXPECT_EQ(connection.Request("HEAD", "/").status, 200);
    EXPECT_EQ(connection.Request("GET", "/").status, 200);
}

TEST_F(Served, SnapshotsAreReadAtRequestTime)
{
    outbox_ = 5;
    Serve();
    const Exposition before = Parse(Http(port_, "GET", "/metrics").body);
    EXPECT_EQ(before.Value("ups_battery_voltage_volts", {{"ups", "ups1"}}), "271.2");
    EXPECT_EQ(before.Value("ups_mqtt_outbox_entries"), "5");
    OnLoop([this] {
        Record record = ThreePhaseUps();
        record.Set("BattryVlt", 262.5).Byte("FanFault", 1);
        site_[0].last->record = record.bytes();
        site_.push_back(UpsWithoutRound("ups2"));
        outbox_.reset();
    });
    const Exposition after = Parse(Http(port_, "GET", "/metrics").body);
    EXPECT_EQ(after.Value("ups_battery_voltage_volts", {{"ups", "ups1"}}), "262.5");
    EXPECT_EQ(after.Value("ups_alarm", {{"ups", "ups1"}, {"key", "deltaNHNT_9"}}), "1");
    EXPECT_EQ(after.Value("ups_data_stale", {{"ups", "ups2"}}), "1");
    EXPECT_EQ(after.types.count("ups_mqtt_outbox_entries"), 0U);
}

TEST_F(Served, SourceThatThrowsFailsThatRequestOnly)
{
    Serve();
    OnLoop([this] { source_fails_ = true; });
    const HttpReply failed = Http(port_, "GET", "/metrics");
    EXPECT_EQ(failed.status, 500);
    EXPECT_TRUE(failed.closed);
    OnLoop([this] { source_fails_ = false; });
    EXPECT_EQ(Http(port_, "GET", "/metrics").status, 200);
}

struct BadRow {
    const char* name;
    std::string request;
    const char* answer; // the status line the server answers with before it closes
};

class BadClients : public Served, public testing::WithParamInterface<BadRow>
{
};

TEST_P(BadClients, GetAnAnswerAndAreClosed)
{
    Serve();
    RawClient client(port_);
    client.Send(GetParam().request);
    EXPECT_TRUE(client.ReadUntilClosed(milliseconds(5000))) << "still open";
    EXPECT_EQ(client.received().rfind(GetParam().answer, 0), 0U) << client.received();
    // Others are served as before.
    EXPECT_EQ(Http(port_, "GET", "/metrics").status, 200);
}

std::string Garbage()
{
    std::string bytes;
    for (int round = 0; round < 8; ++round) {
        for (int b = 255; b >= 0; --b) {
            bytes += static_cast<char>(b);
        }
    }
    return bytes;
}

std::string ManyHeaders()
{
    std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 300; ++i) {
        request += "X-Header-" + std::to_string(i) + ": some value or other\r\n";
    }
    return request + "\r\n";
}

const char kNulRequest[] = "GET /metrics HTTP/1.1\r\nX: a\0b\r\n\r\n";
const std::string kNulInHeader(kNulRequest, sizeof kNulRequest - 1);

INSTANTIATE_TEST_SUITE_P(
    Requests, BadClients,
    testing::Values(
        BadRow{"LongRequestLine",
               "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 431 "},
        BadRow{"LongRequestLineWithoutEnd", "GET /" + std::string(20000, 'a'), "HTTP/1.1 431 "},
        BadRow{"LongHeader",
               "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(9000, 'b') + "\r\n\r\n",
               "HTTP/1.1 431 "},
        BadRow{"ManyHeaders", ManyHeaders(), "HTTP/1.1 431 "},
        BadRow{"BinaryGarbage", Garbage(), "HTTP/1.1 400 "},
        BadRow{"NotHttp", "HELLO THERE\r\n\r\n", "HTTP/1.1 400 "},
        BadRow{"NulInHeader", kNulInHeader, "HTTP/1.1 400 "},
        BadRow{"BadContentLength", "GET /metrics HTTP/1.1\r\nContent-Length: abc\r\n\r\n",
               "HTTP/1.1 400 "},
        BadRow{"PostWithBody",
               "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello",
               "HTTP/1.1 405 "},
        BadRow{
            "ChunkedPut",
            "PUT /metrics HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n",
            "HTTP/1.1 405 "},
        BadRow{"GetWithBody", "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc",
               "HTTP/1.1 200 "}),
    RowName());

TEST_F(Served, SilentClientIsClosedAfterTheTimeout)
{
    Serve(LocalConfig(16, milliseconds(300)));
    RawClient client(port_);
    const auto start = steady_clock::now();
    EXPECT_TRUE(client.ReadUntilClosed(milliseconds(5000)));
    EXPECT_GE(steady_clock::now() - start, milliseconds(250));
    EXPECT_EQ(client.received(), "");
}

TEST_F(Served, SlowClientIsCutOffBeforeItsRequestEnds)
{
    Serve(LocalConfig(16, milliseconds(300)));
    RawClient client(port_);
    // A header line every 50 ms: each read makes progress, the request as a
    // whole never ends.
    bool closed = !client.Send("GET /metrics HTTP/1.1\r\n");
    for (int i = 0; i < 100 && !closed; ++i) {
        closed = !client.Send("X-Slow-" + std::to_string(i) + ": yes\r\n") ||
                 client.ReadUntilClosed(milliseconds(50));
    }
    EXPECT_TRUE(closed) << "still open after 5 s";
    EXPECT_EQ(client.received(), "");
}

TEST_F(Served, IdleKeptConnectionIsClosedAfterTheTimeout)
{
    Serve(LocalConfig(16, milliseconds(300)));
    RawClient client(port_);
    client.Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(client.ReadUntilClosed(milliseconds(5000)));
    EXPECT_EQ(client.received().rfind("HTTP/1.1 200 ", 0), 0U);
}

TEST_F(Served, ClientThatNeverReadsIsCutOff)
{
    for (int i = 0; i < 63; ++i) {
        site_.push_back(FreshUps("ups" + std::to_string(i + 2), ThreePhaseUps()));
    }
    Serve(LocalConfig(16, milliseconds(300)));
    const std::size_t one = Http(port_, "GET", "/metrics").body.size();
    RawClient client(port_, 4096);
    std::string requests;
    const int count = 100;
    for (int i = 0; i < count; ++i) {
        requests += "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    }
    client.Send(requests);
    // Not reading for a while: the server's write cannot finish in time.
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_EQ(Http(port_, "GET", "/metrics").status, 200) << "others are served meanwhile";
    EXPECT_TRUE(client.ReadUntilClosed(milliseconds(10000)));
    EXPECT_LT(client.received().size(), one * count / 2) << "it was not sent everything";
    EXPECT_LT(LongestGapMs(), 300);
}

TEST_F(Served, ConnectionsBeyondTheCapAreClosedAtOnce)
{
    Serve(LocalConfig(4, milliseconds(5000)));
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<RawClient>(port_));
    }
    RawClient extra(port_);
    EXPECT_TRUE(extra.ReadUntilClosed(milliseconds(2000)))
        << "a fifth connection waits for its request";
    EXPECT_EQ(extra.received(), "");
    held.clear();
    // The server notices the four leave; then there is room again.
    int status = 0;
    for (int attempt = 0; attempt < 100 && status == 0; ++attempt) {
        try {
            status = Http(port_, "GET", "/metrics").status;
        } catch (const std::exception&) {
            std::this_thread::sleep_for(milliseconds(20));
        }
    }
    EXPECT_EQ(status, 200);
}

// Everything at once, against a site of 64 UPSes: the io_context's timer
// keeps its pace and the good clients are served.
TEST_F(Served, BadClientsLeaveTheSharedLoopFree)
{
    for (int i = 0; i < 63; ++i) {
        site_.push_back(FreshUps("ups" + std::to_string(i + 2), ThreePhaseUps()));
    }
    Serve(LocalConfig(16, milliseconds(500)));
    const auto start = steady_clock::now();
    std::atomic<int> served{0};
    std::vector<std::thread> clients;
    const auto spawn = [&](int n, std::function<void()> client) {
        for (int i = 0; i < n; ++i) {
            clients.emplace_back([client] {
                try {
                    client();
                } catch (const std::exception&) {
                    // Refused at the cap, or cut off: expected for some.
                }
            });
        }
    };
    spawn(6, [&] {
        for (int i = 0; i < 10; ++i) {
            if (Http(port_, "GET", "/metrics").status == 200) {
                ++served;
            }
        }
    });
    spawn(60, [&] {
        RawClient burst(port_);
        burst.Send("GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        burst.ReadUntilClosed(milliseconds(5000));
    });
    spawn(5, [&] {
        RawClient silent(port_);
        silent.ReadUntilClosed(milliseconds(5000));
    });
    spawn(5, [&] {
        RawClient slow(port_);
        slow.Send("GET /metrics HTTP/1.1\r\n");
        for (int i = 0; i < 40 && slow.Send("X: y\r\n") && !slow.ReadUntilClosed(milliseconds(50));
             ++i) {
        }
    });
    spawn(5, [&] {
        RawClient garbage(port_);
        garbage.Send(Garbage());
        garbage.ReadUntilClosed(milliseconds(5000));
    });
    spawn(5, [&] {
        RawClient line(port_);
        line.Send("GET /" + std::string(100000, 'x'));
        line.ReadUntilClosed(milliseconds(5000));
    });
    spawn(2, [&] {
        RawClient deaf(port_, 4096);
        std::string requests;
        for (int i = 0; i < 50; ++i) {
            requests += "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
        }
        deaf.Send(requests);
        std::this_thread::sleep_for(milliseconds(1500));
    });
    for (std::thread& client : clients) {
        client.join();
    }
    const auto elapsed = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start);
    EXPECT_GT(served.load(), 0);
    EXPECT_LT(LongestGapMs(), 250) << "over " << elapsed.count() << " ms";
    EXPECT_GT(Ticks(), elapsed.count() / 10 / 4) << "the 10 ms timer fell behind";
    EXPECT_EQ(Http(port_, "GET", "/metrics").status, 200);
}

TEST(MetricsServer, AddressInUseIsOneLineAndNothingListens)
{
    asio::io_context io;
    site::PrometheusConfig busy = LocalConfig();
    metrics::MetricsServer first(io, busy, {});
    first.Start();
    const std::uint16_t taken = first.Endpoints().at(0).port();
    const std::uint16_t free = FreePort();
    site::PrometheusConfig config = LocalConfig();
    config.listen = {site::ParseListenAddress("127.0.0.1:" + std::to_string(free)),
                     site::ParseListenAddress("127.0.0.1:" + std::to_string(taken))};
    metrics::MetricsServer second(io, config, {});
    try {
        second.Start();
        FAIL() << "started on a port in use";
    } catch (const metrics::ListenError& e) {
        EXPECT_EQ(std::string(e.what()), "prometheus listen 127.0.0.1:" + std::to_string(taken) +
                                             ": Address already in use");
    }
    EXPECT_TRUE(second.Endpoints().empty());
    EXPECT_THROW(RawClient{free}, std::runtime_error) << "the first address was let go";
}

TEST(MetricsServer, HostNamesAreResolvedAndIpv6Served)
{
    asio::io_context io;
    site::PrometheusConfig config = LocalConfig();
    config.listen = {site::ParseListenAddress("localhost:0")};
    metrics::MetricsServer named(io, config, {});
    named.Start();
    ASSERT_FALSE(named.Endpoints().empty());
    for (const auto& endpoint : named.Endpoints()) {
        EXPECT_TRUE(endpoint.address().is_loopback()) << endpoint.address().to_string();
    }
    config.listen = {site::ParseListenAddress("[::1]:0")};
    metrics::MetricsServer v6(io, config, {});
    try {
        v6.Start();
    } catch (const metrics::ListenError& e) {
        GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
    }
    EXPECT_TRUE(v6.Endpoints().at(0).address().is_v6());
}

TEST(MetricsServer, StopEndsEveryConnectionAndLeavesNoWork)
{
    asio::io_context io;
    std::vector<site::UpsSnapshot> site = {FreshUps("ups1", ThreePhaseUps())};
    metrics::MetricsSource source;
    source.snapshots = [&](std::vector<const site::UpsSnapshot*>& out) { out.push_back(&site[0]); };
    metrics::MetricsServer server(io, LocalConfig(16, milliseconds(60000)), source);
    server.Start();
    const std::uint16_t port = server.Endpoints().at(0).port();
    auto run = std::async(std::launch::async, [&] { io.run(); });
    RawClient idle(port);
    RawClient halfway(port);
    halfway.Send("GET /metrics HTTP/1.1\r\n");
    RawClient kept(port);
    kept.Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    std::this_thread::sleep_for(milliseconds(200));
    asio::post(io, [&] { server.Stop(); });
    EXPECT_EQ(run.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "handlers still pending after Stop";
    for (RawClient* client : {&idle, &halfway, &kept}) {
        EXPECT_TRUE(client->ReadUntilClosed(milliseconds(2000)));
    }
    EXPECT_EQ(kept.received().rfind("HTTP/1.1 200 ", 0), 0U);
    if (run.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        io.stop();
    }
}

} // namespace
