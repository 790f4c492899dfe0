// history-tool: the history store on its own, for its tests, its benchmark
// and a look at a history file.  Not installed.
//
//   history-tool read FILE [--ups NAME] [--since T] [--until T] [--newest]
//                          [--limit N] [--csv [--local]]
//   history-tool write DB --ups A[,B...] [--rounds N] ...
//   history-tool bench DB [--ups N] [--rounds N] ...
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/program_options.hpp>

#include "HistoryCsv.h"
#include "HistoryReader.h"
#include "HistoryWriter.h"
#include "SyntheticRounds.h"
#include "TimeText.h"

namespace po = boost::program_options;
using namespace history;

namespace
{

constexpr int kBadInput = 2;

struct BadInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char kUsage[] =
    "usage: history-tool read FILE [--ups NAME] [--since T] [--until T] [--newest]\n"
    "                              [--limit N] [--csv [--local]]\n"
    "       history-tool write DB --ups A[,B...] [--rounds N] [--data-id N]\n"
    "                             [--sync normal|full] [--max-bytes N]\n"
    "                             [--retry-ms N] [--summary-ms N]\n"
    "       history-tool bench DB [--ups N] [--rounds N] [--rate N] [--sync normal|full]\n"
    "                             [--checkpoint-pages N]\n"
    "\n"
    "read:  the stored rounds of a history database or an old flat history file,\n"
    "       one line each (UPS, sequence, time, data id), or as CSV.  T is RFC 3339\n"
    "       (2026-12-09T03:00:00Z), local time without a zone, or a date.\n"
    "write: made-up rounds of the UPSes in turn, as fast as they commit, each UPS\n"
    "       going on after its last stored sequence; prints \"UPS SEQUENCE\" for\n"
    "       each committed round.  --rounds 0 (the default) writes until killed.\n"
    "bench: the time of one append, with N UPSes taking turns, flat out or --rate\n"
    "       appends a second.\n";

std::vector<std::string> SplitNames(const std::string& text)
{
    std::vector<std::string> names;
    std::string name;
    std::istringstream in(text);
    while (std::getline(in, name, ',')) {
        if (name.empty()) {
            throw BadInput("--ups: empty UPS name in '" + text + "'");
        }
        names.push_back(name);
    }
    if (names.empty()) {
        throw BadInput("--ups: no UPS name");
    }
    return names;
}

Clock::time_point TimeOption(const po::variables_map& vm, const char* name)
{
    Clock::time_point t;
    std::string why;
    const std::string text = vm[name].as<std::string>();
    if (!ParseTime(text, t, why)) {
        throw BadInput(std::string("--") + name + " " + text + ": " + why);
    }
    return t;
}

sitedb::Synchronous SyncOption(const po::variables_map& vm)
{
    const std::string sync = vm["sync"].as<std::string>();
    if (sync == "normal") {
        return sitedb::Synchronous::Normal;
    }
    if (sync == "full") {
        return sitedb::Synchronous::Full;
    }
    throw BadInput("--sync must be normal or full, not " + sync);
}

int Read(const std::string& path, const po::variables_map& vm)
{
    Filter filter;
    if (vm.count("ups") != 0U) {
        filter.ups = vm["ups"].as<std::string>();
    }
    if (vm.count("since") != 0U) {
        filter.since = TimeOption(vm, "since");
    }
    if (vm.count("until") != 0U) {
        filter.until = TimeOption(vm, "until");
    }
    if (vm.count("newest") != 0U) {
        filter.order = Order::NewestFirst;
    }
    filter.limit = vm["limit"].as<std::size_t>();

    const std::unique_ptr<HistorySource> source = OpenHistory(path);
    const std::string warning = source->Warning();
    if (!warning.empty()) {
        std::cerr << "history-tool: " << warning << "\n";
    }
    if (vm.count("csv") != 0U) {
        CsvOptions options;
        options.local_zone = vm.count("local") != 0U;
        CsvWriter csv(std::cout, options);
        csv.Header();
        source->Read(filter, [&csv](const Entry& entry) {
            csv.Row(entry);
            return true;
        });
    } else {
        source->Read(filter, [](const Entry& entry) {
            std::cout << (entry.ups.empty() ? "-" : entry.ups) << ' ' << entry.sequence << ' '
                      << (entry.time ? Rfc3339(*entry.time) : "-") << ' ' << entry.data_id << '\n';
            return true;
        });
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}

WriterOptions WriterOptionsFrom(const po::variables_map& vm)
{
    WriterOptions options;
    options.database.synchronous = SyncOption(vm);
    options.database.max_bytes = vm["max-bytes"].as<std::uint64_t>();
    options.retry_every = std::chrono::milliseconds(vm["retry-ms"].as<unsigned>());
    options.summary_every = std::chrono::milliseconds(vm["summary-ms"].as<unsigned>());
    options.background_checkpoint_pages = vm["checkpoint-pages"].as<std::uint32_t>();
    options.log = [](const std::string& line) {
        std::fprintf(stderr, "history-tool: %s\n", line.c_str());
    };
    return options;
}

int Write(const std::string& path, const po::variables_map& vm)
{
    if (vm.count("ups") == 0U) {
        throw BadInput("write needs --ups");
    }
    const std::vector<std::string> names = SplitNames(vm["ups"].as<std::string>());
    const auto data_id = vm["data-id"].as<std::uint32_t>();
    const auto rounds = vm["rounds"].as<std::uint64_t>();
    HistoryWriter writer(path, WriterOptionsFrom(vm));
    std::vector<std::uint64_t> next;
    for (const std::string& name : names) {
        next.push_back(writer.LastSequence(name) + 1);
    }
    site::Round round;
    for (std::uint64_t i = 0; rounds == 0 || i < rounds; ++i) {
        const std::size_t u = static_cast<std::size_t>(i % names.size());
        round.sequence = next[u];
        round.record = SyntheticRecord(names[u], round.sequence, data_id);
        round.time = Clock::now();
        round.steady = std::chrono::steady_clock::now();
        if (writer.Append(names[u], data_id, round)) {
            // Reported only once committed: whoever reads this may count on
            // finding the round in the database.
            std::printf("%s %llu\n", names[u].c_str(),
                        static_cast<unsigned long long>(round.sequence));
            std::fflush(stdout);
            ++next[u];
        }
    }
    return writer.lost() == 0 ? 0 : 1;
}

double Percentile(std::vector<double>& sorted, double p)
{
    const auto index = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1));
    return sorted[index];
}

// Bytes this process has handed to write(2) and its kin so far (the
// kernel's count; 0 where /proc is not there).
std::uint64_t WrittenBytes()
{
    FILE* io = std::fopen("/proc/self/io", "r");
    if (io == nullptr) {
        return 0;
    }
    char line[128];
    unsigned long long wchar = 0;
    while (std::fgets(line, sizeof line, io) != nullptr) {
        if (std::sscanf(line, "wchar: %llu", &wchar) == 1) {
            break;
        }
    }
    std::fclose(io);
    return wchar;
}

// CPU time of the whole process (every thread), user and system.
double CpuSeconds()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::uint64_t FileBytes(const std::string& path)
{
    struct stat st = {};
    return stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

int Bench(const std::string& path, const po::variables_map& vm)
{
    unsigned long ups_count = 64;
    if (vm.count("ups") != 0U) {
        const std::string text = vm["ups"].as<std::string>();
        char* end = nullptr;
        ups_count = std::strtoul(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || ups_count == 0 || ups_count > 100000) {
            throw BadInput("bench --ups takes a number of UPSes (1 to 100000), not " + text);
        }
    }
    auto rounds = vm["rounds"].as<std::uint64_t>();
    const double rate = vm["rate"].as<double>();
    if (rounds == 0) {
        rounds = 20000;
    }
    std::vector<std::string> names;
    for (unsigned long i = 1; i <= ups_count; ++i) {
        names.push_back("ups" + std::to_string(i));
    }
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(rounds));
    std::uint64_t lost = 0;
    std::uint64_t before = 0;
    std::uint64_t written_before = 0;
    double cpu_before = 0;
    {
        HistoryWriter writer(path, WriterOptionsFrom(vm));
        std::vector<std::uint64_t> next;
        for (const std::string& name : names) {
            next.push_back(writer.LastSequence(name) + 1);
        }
        // From here on, the appends alone (and the checkpoints they cause).
        before = FileBytes(path);
        written_before = WrittenBytes();
        cpu_before = CpuSeconds();
        site::Round round;
        auto slot = std::chrono::steady_clock::now();
        for (std::uint64_t i = 0; i < rounds; ++i) {
            if (rate > 0) {
                // As the poll loop would: rounds spread evenly over time.
                slot += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(1.0 / rate));
                std::this_thread::sleep_until(slot);
            }
            const std::size_t u = static_cast<std::size_t>(i % names.size());
            round.sequence = next[u]++;
            round.record = SyntheticRecord(names[u], round.sequence, 5035);
            round.time = Clock::now();
            const auto start = std::chrono::steady_clock::now();
            round.steady = start;
            writer.Append(names[u], 5035, round);
            micros.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                    .count());
        }
        lost = writer.lost();
    }
    // After the writer closed: its last checkpoint is in.
    const std::uint64_t after = FileBytes(path);
    const std::uint64_t written = WrittenBytes() - written_before;
    const double cpu = CpuSeconds() - cpu_before;
    const double total = std::accumulate(micros.begin(), micros.end(), 0.0);
    std::sort(micros.begin(), micros.end());
    const auto pages = vm["checkpoint-pages"].as<std::uint32_t>();
    std::printf(
        "appends      %llu (%lu UPSes in turn, synchronous=%s, checkpoints %s), %llu lost\n",
        static_cast<unsigned long long>(rounds), ups_count, vm["sync"].as<std::string>().c_str(),
        pages > 0 ? "in the background" : "in the append", static_cast<unsigned long long>(lost));
    if (rate > 0) {
        std::printf("paced        %.0f appends/s\n", rate);
    }
    std::printf("per append   mean %.1f us, median %.1f us, p99 %.1f us, p99.9 %.1f us, "
                "max %.1f us\n",
                total / static_cast<double>(micros.size()), Percentile(micros, 0.5),
                Percentile(micros, 0.99), Percentile(micros, 0.999), micros.back());
    std::printf("cpu          %.1f us per append (user and system, every thread)\n",
                cpu / static_cast<double>(rounds) * 1e6);
    std::printf("file         %.1f bytes per round\n",
                static_cast<double>(after - before) / static_cast<double>(rounds));
    // The log takes whole pages, the checkpoints copy them again.
    std::printf("writes       %.0f bytes per round (log and checkpoints)\n",
                static_cast<double>(written) / static_cast<double>(rounds));
    // 64 UPSes, one round every 2 s each.
    std::printf("64 UPSes / 2 s: %.3f %% of one core\n",
                32.0 * cpu / static_cast<double>(rounds) * 100.0);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    po::options_description options("options");
    // clang-format off
    options.add_options()
        ("help,h", "this text")
        ("ups", po::value<std::string>(), "UPS name (read), names (write), how many (bench)")
        ("since", po::value<std::string>(), "rounds at or after this time")
        ("until", po::value<std::string>(), "rounds before this time")
        ("newest", "newest first")
        ("limit", po::value<std::size_t>()->default_value(0), "at most this many rounds")
        ("csv", "CSV with a header line")
        ("local", "CSV times in the local zone")
        ("rounds", po::value<std::uint64_t>()->default_value(0), "rounds to write")
        ("data-id", po::value<std::uint32_t>()->default_value(5035), "data identifier")
        ("sync", po::value<std::string>()->default_value("normal"), "normal or full")
        ("max-bytes", po::value<std::uint64_t>()->default_value(0), "size limit of the database")
        ("retry-ms", po::value<unsigned>()->default_value(5000), "retry a failed database after")
        ("summary-ms", po::value<unsigned>()->default_value(60000), "loss summary every")
        ("checkpoint-pages", po::value<std::uint32_t>()->default_value(1000),
         "background checkpoint at this log size (0: in the append)")
        ("rate", po::value<double>()->default_value(0), "bench: appends per second (0: flat out)")
        ("command", po::value<std::string>(), "")
        ("file", po::value<std::string>(), "");
    // clang-format on
    po::positional_options_description positional;
    positional.add("command", 1).add("file", 1);
    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(options).positional(positional).run(),
                  vm);
        po::notify(vm);
        if (vm.count("help") != 0U) {
            std::cout << kUsage;
            return 0;
        }
        if (vm.count("command") == 0U || vm.count("file") == 0U) {
            throw BadInput("a command and a file are needed");
        }
        const std::string command = vm["command"].as<std::string>();
        const std::string file = vm["file"].as<std::string>();
        if (command == "read") {
            return Read(file, vm);
        }
        if (command == "write") {
            return Write(file, vm);
        }
        if (command == "bench") {
            return Bench(file, vm);
        }
        throw BadInput("unknown command " + command);
    } catch (const po::error& e) {
        std::fprintf(stderr, "history-tool: %s\n%s", e.what(), kUsage);
        return kBadInput;
    } catch (const BadInput& e) {
        std::fprintf(stderr, "history-tool: %s\n%s", e.what(), kUsage);
        return kBadInput;
    } catch (const ReadError& e) {
        std::fprintf(stderr, "history-tool: %s\n", e.what());
        return kBadInput;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "history-tool: %s\n", e.what());
        return 1;
    }
}
