// The server on the network, on 127.0.0.1 and a free port: bad clients of
// every kind thrown at it while a timer on the same event loop keeps its
// cadence, the connection cap, 200 connections at once, the idle timeout,
// and listen addresses that cannot be opened.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "NutTest.h"
#include "Server.h"
#include "support/ParamNames.h"

namespace
{

using namespace std::chrono_literals;
using nuttest::LoopServer;
using nuttest::TestClient;

// A cadence check, not a benchmark: the heartbeat ticks every 10 ms, and a
// loop that some client blocked would miss it by much more than this (the
// clients that never speak or never read are held for seconds).  An
// emulated loop on a busy machine stalls for a few hundred milliseconds
// now and then on its own.
#ifdef NUT_TESTS_EMULATED
constexpr auto kLongestHeartbeatGap = 1500ms;
#else
constexpr auto kLongestHeartbeatGap = 500ms;
#endif

std::unique_ptr<LoopServer> ServerWithUps(nut::ServerOptions options = LoopServer::Options())
{
    auto server = std::make_unique<LoopServer>(std::move(options));
    server->OnLoop([&] {
        server->List().ups.push_back(
            nuttest::Ups("ups1", "Server room", nuttest::SinglePhaseOnLine(), 0ms, 60s));
        server->List().ups.push_back(
            nuttest::Ups("ups2", "", nuttest::ThreePhaseWithAlarm(), 0ms, 60s));
    });
    return server;
}

// A port that was free a moment ago.
std::uint16_t FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// --- Addresses ---

struct AddressRow {
    const char* name;
    const char* text;
    bool ok;
    const char* address;
    std::uint16_t port;
    const char* shown;
};

class Addresses : public testing::TestWithParam<AddressRow>
{
};

TEST_P(Addresses, Parsed)
{
    std::string error;
    const auto address = nut::ParseListenAddress(GetParam().text, error);
    ASSERT_EQ(address.has_value(), GetParam().ok) << error;
    if (address) {
        EXPECT_EQ(address->address, GetParam().address);
        EXPECT_EQ(address->port, GetParam().port);
        EXPECT_EQ(address->Text(), GetParam().shown);
    } else {
        EXPECT_EQ(error.rfind(std::string("\"") + GetParam().text + "\" ", 0), 0U) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Addresses,
    testing::Values(
        AddressRow{"V4", "127.0.0.1", true, "127.0.0.1", 3493, "127.0.0.1:3493"},
        AddressRow{"V4Port", "192.0.2.10:13493", true, "192.0.2.10", 13493, "192.0.2.10:13493"},
        AddressRow{"AnyV4", "0.0.0.0:3493", true, "0.0.0.0", 3493, "0.0.0.0:3493"},
        AddressRow{"PortZero", "127.0.0.1:0", true, "127.0.0.1", 0, "127.0.0.1:0"},
        AddressRow{"V6", "::1", true, "::1", 3493, "[::1]:3493"},
        AddressRow{"V6Bracketed", "[::1]", true, "::1", 3493, "[::1]:3493"},
        AddressRow{"V6Port", "[2001:db8::1]:4000", true, "2001:db8::1", 4000, "[2001:db8::1]:4000"},
        AddressRow{"HostName", "localhost:3493", false, "", 0, ""},
        AddressRow{"Empty", "", false, "", 0, ""},
        AddressRow{"PortTooBig", "127.0.0.1:65536", false, "", 0, ""},
        AddressRow{"PortNotNumber", "127.0.0.1:upsd", false, "", 0, ""},
        AddressRow{"PortEmpty", "127.0.0.1:", false, "", 0, ""},
        AddressRow{"PortSigned", "127.0.0.1:+80", false, "", 0, ""},
        AddressRow{"Unclosed", "[::1:3493", false, "", 0, ""},
        AddressRow{"TextAfterBracket", "[::1]x", false, "", 0, ""},
        AddressRow{"BadV4", "127.0.0.256", false, "", 0, ""}),
    RowName());

TEST(Listen, AnAddressInUseIsNamedAndNothingIsLeftOpen)
{
    boost::asio::io_context io;
    nut::SnapshotList list;
    std::vector<std::string> log;
    nut::ServerOptions first_options = LoopServer::Options();
    nut::Server first(io, list, first_options, [&](const std::string& l) { log.push_back(l); });
    first.Start();
    const std::uint16_t taken = first.Ports().at(0);

    const std::uint16_t free_port = FreePort();
    nut::ServerOptions options = LoopServer::Options();
    options.listen = {nut::ListenAddress{"127.0.0.1", free_port},
                      nut::ListenAddress{"127.0.0.1", taken}};
    nut::Server second(io, list, options, [&](const std::string& l) { log.push_back(l); });
    try {
        second.Start();
        FAIL() << "started on a port in use";
    } catch (const nut::ListenError& e) {
        EXPECT_EQ(std::string(e.what()), "cannot listen on 127.0.0.1:" + std::to_string(taken) +
                                             ": Address already in use");
    }
    EXPECT_TRUE(second.Ports().empty());
    // The first address of the failed server was let go again.
    nut::ServerOptions again = LoopServer::Options();
    again.listen = {nut::ListenAddress{"127.0.0.1", free_port}};
    nut::Server third(io, list, again, [&](const std::string& l) { log.push_back(l); });
    EXPECT_NO_THROW(third.Start());
    EXPECT_EQ(log.size(), 2U) << "one line per listener opened, none for the failure";
}

TEST(Listen, AnAddressNotOfThisMachineIsNamed)
{
    boost::asio::io_context io;
    nut::SnapshotList list;
    nut::ServerOptions options = LoopServer::Options();
    options.listen = {nut::ListenAddress{"192.0.2.1", 0}};
    nut::Server server(io, list, options, nullptr);
    try {
        server.Start();
        FAIL() << "listening on a documentation address";
    } catch (const nut::ListenError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "cannot listen on 192.0.2.1:0: Cannot assign requested address");
    }
}

TEST(Listen, OnIpv6Loopback)
{
    nut::ServerOptions options = LoopServer::Options();
    options.listen = {nut::ListenAddress{"::1", 0}};
    {
        boost::asio::io_context io;
        nut::SnapshotList list;
        nut::Server probe(io, list, options, nullptr);
        try {
            probe.Start();
        } catch (const nut::ListenError& e) {
            GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
        }
    }
    auto server = ServerWithUps(options);
    TestClient client(server->Port(), true);
    ASSERT_TRUE(client.Connected());
    client.Send("USERNAME monuser\nPASSWORD secret\nLOGIN ups1\nLIST CLIENT ups1\n");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(client.ReadLine(), "OK");
    }
    EXPECT_EQ(client.ReadUntil("END LIST CLIENT ups1"),
              (std::vector<std::string>{"BEGIN LIST CLIENT ups1", "CLIENT ups1 ::1",
                                        "END LIST CLIENT ups1"}));
    EXPECT_FALSE(TestClient(server->Port()).Connected()) << "IPv6 only";
}

// --- Bad clients ---

// Sends without ever reading, until the server drops the connection or
// `timeout` passes; true when it was dropped.
bool FloodWithoutReading(std::uint16_t port, std::chrono::milliseconds timeout)
{
    TestClient client(port);
    if (!client.Connected()) {
        return false;
    }
    const int fd = client.fd();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string requests;
    for (int i = 0; i < 200; ++i) {
        requests += "LIST VAR ups2\n";
    }
    const auto deadline = nuttest::Steady::now() + timeout;
    while (nuttest::Steady::now() < deadline) {
        const ssize_t n = ::send(fd, requests.data(), requests.size(), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return true; // reset or broken pipe: the server closed it
        }
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
        if ((p.revents & (POLLERR | POLLHUP)) != 0) {
            return true;
        }
    }
    return false;
}

TEST(BadClients, AreRefusedWhileTheLoopKeepsItsCadence)
{
    nut::ServerOptions options = LoopServer::Options();
    options.idle_timeout = 500ms;
    auto server = ServerWithUps(options);
    server->TakeLongestGap();
    const std::uint64_t beats_before = server->Heartbeats();
    TestClient good(server->Port());
    ASSERT_EQ(good.Ask("GET VAR ups1 ups.status"), "VAR ups1 ups.status \"OL\"");

    // Silent clients, and one that trickles a line that never ends.
    std::vector<std::unique_ptr<TestClient>> silent;
    for (int i = 0; i < 40; ++i) {
        silent.push_back(std::make_unique<TestClient>(server->Port()));
    }
    TestClient trickle(server->Port());
    // Lines over 1 KiB.
    std::vector<std::unique_ptr<TestClient>> long_lines;
    for (int i = 0; i < 20; ++i) {
        long_lines.push_back(std::make_unique<TestClient>(server->Port()));
        long_lines.back()->Send(std::string(2048 + i * 100, 'A'));
    }
    // Binary garbage.
    std::mt19937 random(14);
    std::vector<std::unique_ptr<TestClient>> garbage;
    for (int i = 0; i < 20; ++i) {
        std::string bytes;
        for (int b = 0; b < 600; ++b) {
            bytes += static_cast<char>(random() & 0xff);
        }
        bytes[0] = '\x01'; // not text from its first byte
        garbage.push_back(std::make_unique<TestClient>(server->Port()));
        garbage.back()->Send(bytes);
    }
    // Unknown commands and wrong passwords, answered and kept.
    TestClient unknown(server->Port());
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(unknown.Ask("HEAD / HTTP/1.0"), "ERR UNKNOWN-COMMAND");
        TestClient wrong(server->Port());
        wrong.Send("USERNAME monuser\nPASSWORD guess" + std::to_string(i) + "\nLOGIN ups1\n");
        EXPECT_EQ(wrong.ReadLine(), "OK");
        EXPECT_EQ(wrong.ReadLine(), "OK");
        EXPECT_EQ(wrong.ReadLine(), "ERR ACCESS-DENIED");
        trickle.Send("G");
        EXPECT_EQ(good.Ask("GET VAR ups1 ups.status"), "VAR ups1 ups.status \"OL\"") << i;
    }
    // Clients that ask and never read: each is dropped once its replies
    // have waited for the idle timeout (as long as a good client waited).
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(FloodWithoutReading(server->Port(), 10s)) << "flood " << i << " kept open";
        TestClient next(server->Port());
        EXPECT_EQ(next.Ask("GET VAR ups2 ups.load"), "VAR ups2 ups.load \"31\"");
    }

    for (auto& client : long_lines) {
        EXPECT_EQ(client->ReadLine(), "ERR TOO-LONG");
        EXPECT_TRUE(client->ClosedWithin(5s));
    }
    for (auto& client : garbage) {
        EXPECT_EQ(client->ReadLine(), "ERR INVALID-ARGUMENT");
        EXPECT_TRUE(client->ClosedWithin(5s));
    }
    for (auto& client : silent) {
        EXPECT_TRUE(client->ClosedWithin(5s)) << "silent client kept";
    }
    EXPECT_TRUE(trickle.ClosedWithin(5s)) << "a line that never ends kept the client";
    EXPECT_TRUE(unknown.ClosedWithin(5s)) << "idle since, for longer than the timeout";
    EXPECT_TRUE(good.ClosedWithin(5s)) << "idle since, for longer than the timeout";

    EXPECT_LT(server->TakeLongestGap().count(), kLongestHeartbeatGap.count())
        << "ms between heartbeats";
    EXPECT_GT(server->Heartbeats(), beats_before + 10);
    const nut::ServerCounters counters = server->Counters();
    EXPECT_EQ(counters.refused_input, 40U);
    // The silent ones, the trickle, the floods, and at the end the good and
    // the unknown one.
    EXPECT_EQ(counters.timed_out, 40U + 1U + 3U + 2U);
    // No line per request or per bad client: listening, and the first
    // refused login.
    const std::vector<std::string> log = server->Log();
    EXPECT_EQ(log.size(), 2U) << ::testing::PrintToString(log);
}

TEST(BadClients, TwoHundredConnectionsAtOnceAreAllServed)
{
    auto server = ServerWithUps();
    server->TakeLongestGap();
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 200; ++i) {
        clients.push_back(std::make_unique<TestClient>(server->Port()));
        ASSERT_TRUE(clients.back()->Connected()) << i;
    }
    for (auto& client : clients) {
        client->Send("GET VAR ups1 ups.status\nLIST UPS\n");
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
        EXPECT_EQ(clients[i]->ReadLine(), "VAR ups1 ups.status \"OL\"") << i;
        EXPECT_EQ(clients[i]->ReadUntil("END LIST UPS").size(), 4U) << i;
    }
    EXPECT_EQ(server->Counters().open, 200U);
    EXPECT_LT(server->TakeLongestGap().count(), kLongestHeartbeatGap.count())
        << "ms between heartbeats";
    clients.clear();
    EXPECT_TRUE(nuttest::WaitFor([&] { return server->Counters().open == 0; }, 5s));
    EXPECT_EQ(server->Counters().accepted, 200U);
}

TEST(BadClients, ConnectionsBeyondTheCapAreRefusedAndTheOthersGoOn)
{
    nut::ServerOptions options = LoopServer::Options();
    options.max_connections = 5;
    auto server = ServerWithUps(options);
    std::vector<std::unique_ptr<TestClient>> served;
    for (int i = 0; i < 5; ++i) {
        served.push_back(std::make_unique<TestClient>(server->Port()));
        EXPECT_EQ(served.back()->Ask("NETVER"), "1.3");
    }
    for (int i = 0; i < 10; ++i) {
        TestClient refused(server->Port());
        // Told so if it reads in time, closed in any case.
        const auto line = refused.ReadLine(2s);
        if (line) {
            EXPECT_EQ(*line, "ERR ACCESS-DENIED");
        }
        EXPECT_TRUE(refused.ClosedWithin(2s));
    }
    for (auto& client : served) {
        EXPECT_EQ(client->Ask("GET VAR ups1 ups.status"), "VAR ups1 ups.status \"OL\"");
    }
    served.pop_back();
    ASSERT_TRUE(nuttest::WaitFor([&] { return server->Counters().open == 4; }, 5s));
    TestClient next(server->Port());
    EXPECT_EQ(next.Ask("NETVER"), "1.3");
    const nut::ServerCounters counters = server->Counters();
    EXPECT_EQ(counters.refused, 10U);
    EXPECT_EQ(counters.accepted, 6U);
    const std::vector<std::string> log = server->Log();
    ASSERT_EQ(log.size(), 2U) << "one line for ten refusals";
    EXPECT_EQ(log[1], "server: 5 connections open, the most allowed: refused 1 connection");
}

TEST(BadClients, IdleClientsAreClosedAndBusyOnesKept)
{
    nut::ServerOptions options = LoopServer::Options();
    options.idle_timeout = 400ms;
    auto server = ServerWithUps(options);
    TestClient silent(server->Port());
    TestClient busy(server->Port());
    const auto start = nuttest::Steady::now();
    while (nuttest::Steady::now() - start < 1200ms) {
        EXPECT_EQ(busy.Ask("GET VAR ups1 ups.status"), "VAR ups1 ups.status \"OL\"");
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(silent.ClosedWithin(1ms)) << "closed well before now";
    EXPECT_FALSE(busy.ClosedWithin(100ms));
    EXPECT_TRUE(busy.ClosedWithin(3s));
    EXPECT_EQ(server->Counters().timed_out, 2U);
}

TEST(Connections, LogoutAndStopCloseThem)
{
    auto server = ServerWithUps();
    TestClient leaving(server->Port());
    leaving.Send("LOGOUT\nVER\n");
    EXPECT_EQ(leaving.ReadLine(), "OK Goodbye");
    EXPECT_TRUE(leaving.ClosedWithin(3s)) << "and nothing after the goodbye";

    TestClient staying(server->Port());
    TestClient logged_in(server->Port());
    logged_in.Send("USERNAME monuser\nPASSWORD secret\nLOGIN ups1\n");
    EXPECT_EQ(logged_in.ReadLine(), "OK");
    EXPECT_EQ(logged_in.ReadLine(), "OK");
    EXPECT_EQ(logged_in.ReadLine(), "OK");
    EXPECT_EQ(server->Logins("ups1"), 1U);
    EXPECT_EQ(staying.Ask("GET NUMLOGINS ups1"), "NUMLOGINS ups1 1");
    server->StopServer();
    EXPECT_TRUE(staying.ClosedWithin(3s));
    EXPECT_TRUE(logged_in.ClosedWithin(3s));
    EXPECT_TRUE(nuttest::WaitFor([&] { return server->Logins("ups1") == 0; }, 3s));
    EXPECT_FALSE(TestClient(server->Port()).Connected()) << "the listener is closed too";
}

TEST(Connections, ClientAddressesAreListed)
{
    auto server = ServerWithUps();
    TestClient client(server->Port());
    client.Send("USERNAME monuser\nPASSWORD secret\nLOGIN ups2\nLIST CLIENT ups2\n");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(client.ReadLine(), "OK");
    }
    EXPECT_EQ(client.ReadUntil("END LIST CLIENT ups2"),
              (std::vector<std::string>{"BEGIN LIST CLIENT ups2", "CLIENT ups2 127.0.0.1",
                                        "END LIST CLIENT ups2"}));
}

} // namespace
