// One Prometheus scrape of a site of 64 UPSes, each with three input and
// output lines and every alarm flag reported: the text exposition alone
// (MetricsText::Write into a reused string), and a whole GET /metrics through
// the listener over loopback on a kept-alive connection, the listener's
// io_context on a thread of its own.
//
// Counters per scrape: allocs (calls of operator new, in the whole process:
// for the HTTP case the client's too), text_bytes; for the HTTP case
// listener_cpu_us, the CPU time of the listener's io_context thread.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include "AllocationCounter.h"
#include "Catalogue.h"
#include "MetricsServer.h"
#include "MetricsText.h"

namespace
{

constexpr int kUpses = 64;

void SetField(site::Round& round, const char* name, double value)
{
    const RecordField* field = catalogue::FindRecordField(name);
    unsigned char* p = round.record.data() + field->offset;
    if (field->type == FieldType::Float32) {
        const auto v = static_cast<float>(value);
        std::memcpy(p, &v, sizeof v);
    } else if (field->type == FieldType::Int8) {
        *p = static_cast<unsigned char>(static_cast<int>(value));
    } else {
        const auto v = static_cast<std::int32_t>(value);
        std::memcpy(p, &v, sizeof v);
    }
}

// Every numeric field at a plausible value, three lines everywhere.
std::vector<site::UpsSnapshot> Site()
{
    std::vector<site::UpsSnapshot> site(kUpses);
    for (int i = 0; i < kUpses; ++i) {
        site::UpsSnapshot& ups = site[static_cast<std::size_t>(i)];
        ups.name = "ups" + std::to_string(i + 1);
        ups.description = "Row " + std::to_string(i / 8) + ", rack " + std::to_string(i % 8);
        site::Round round;
        for (const RecordField& field : kRecordFields) {
            if (field.type == FieldType::Float32) {
                SetField(round, field.name, 220.0 + i * 0.1);
            } else if (field.type == FieldType::Int32) {
                SetField(round, field.name, 2500 + i);
            }
        }
        for (const catalogue::AlarmMeaning& alarm : catalogue::kAlarmMeanings) {
            round.record[alarm.alarm->offset] = static_cast<std::uint8_t>(i % 7 == 0);
        }
        for (const char* lines : {"InptLines", "OutptLines", "BypssLines"}) {
            SetField(round, lines, 3);
        }
        SetField(round, "OutptSrc", 0);
        std::memcpy(round.record.data() + catalogue::FindRecordField("UpsMnu")->offset, "DELTA", 5);
        std::memcpy(round.record.data() + catalogue::FindRecordField("UpsMod")->offset,
                    "NH-PLUS 20K", 11);
        round.steady = std::chrono::steady_clock::now();
        round.time = std::chrono::system_clock::now();
        ups.last = round;
        ups.line = site::LineState::Up;
    }
    return site;
}

void Allocations(benchmark::State& state, const AllocationTally& used, std::size_t bytes)
{
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(used.allocations),
                                                  benchmark::Counter::kAvgIterations);
    state.counters["text_bytes"] = static_cast<double>(bytes);
}

void BM_MetricsText(benchmark::State& state)
{
    const std::vector<site::UpsSnapshot> site = Site();
    std::vector<const site::UpsSnapshot*> pointers;
    for (const site::UpsSnapshot& ups : site) {
        pointers.push_back(&ups);
    }
    metrics::MetricsText writer;
    std::string out;
    writer.Write(pointers, std::chrono::steady_clock::now(), 0, out); // grown to size
    const AllocationTally before = AllocationsSoFar();
    for (auto _ : state) {
        writer.Write(pointers, std::chrono::steady_clock::now(), 0, out);
        benchmark::DoNotOptimize(out.data());
    }
    Allocations(state, AllocationsSoFar() - before, out.size());
}
BENCHMARK(BM_MetricsText)->Unit(benchmark::kMicrosecond);

void BM_MetricsScrapeHttp(benchmark::State& state)
{
    namespace asio = boost::asio;
    namespace http = boost::beast::http;
    const std::vector<site::UpsSnapshot> site = Site();
    asio::io_context io;
    auto guard = asio::make_work_guard(io);
    site::PrometheusConfig config;
    config.listen = {site::ParseListenAddress("127.0.0.1:0")};
    metrics::MetricsSource source;
    source.snapshots = [&](std::vector<const site::UpsSnapshot*>& out) {
        for (const site::UpsSnapshot& ups : site) {
            out.push_back(&ups);
        }
    };
    metrics::MetricsServer server(io, config, source);
    server.Start();
    std::thread loop([&] { io.run(); });
    {
        asio::io_context client_io;
        boost::beast::tcp_stream stream(client_io);
        stream.connect(server.Endpoints().at(0));
        boost::beast::flat_buffer buffer;
        http::request<http::empty_body> request(http::verb::get, "/metrics", 11);
        request.set(http::field::host, "127.0.0.1");
        std::size_t bytes = 0;
        const auto scrape = [&] {
            http::write(stream, request);
            http::response_parser<http::string_body> parser;
            parser.body_limit(16 * 1024 * 1024);
            http::read(stream, buffer, parser);
            bytes = parser.get().body().size();
        };
        scrape();
        // The listener's own CPU time: its io_context thread's clock.
        const auto loop_cpu = [&] {
            std::promise<double> seconds;
            asio::post(io, [&] {
                timespec t{};
                clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
                seconds.set_value(static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9);
            });
            return seconds.get_future().get();
        };
        const double cpu_before = loop_cpu();
        const AllocationTally before = AllocationsSoFar();
        for (auto _ : state) {
            scrape();
        }
        Allocations(state, AllocationsSoFar() - before, bytes);
        state.counters["listener_cpu_us"] =
            benchmark::Counter((loop_cpu() - cpu_before) * 1e6, benchmark::Counter::kAvgIterations);
    }
    asio::post(io, [&] { server.Stop(); });
    guard.reset();
    loop.join();
}
BENCHMARK(BM_MetricsScrapeHttp)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
