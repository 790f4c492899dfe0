// The real halx-host run as a site monitor (--config) for the tests: a
// configuration of simulated UPSes written into a scratch folder, free ports
// on 127.0.0.1, the program started as a child with its output in a file,
// and the rounds its site database holds read back.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "NutTest.h"
#include "history/HistoryReader.h"

namespace sitetest
{

using namespace std::chrono_literals;

// A TCP port on 127.0.0.1 that nothing listens on at the moment of the call.
std::uint16_t FreePort();

struct SimUps {
    std::string name;
    std::string sim = "{ \"drift\": false }"; // the entry's "sim" object as JSON text
    double interval_s = 1.0;
    double stale_after_s = 60.0;
    std::uint32_t data_id = 1;
};

// The site's configuration as text: the UPSes, the database (empty: none;
// "@DIR@/site.db" for the run's folder),
// the protocol server on `nut_port` with the tests' users (monuser/secret,
// secondary; admin/adminpass, primary), and `extra` members added at the
// top level (",\n \"history\": {...}").
std::string SiteConfigText(const std::vector<SimUps>& ups, const std::string& database,
                           std::uint16_t nut_port, const std::string& extra = "");

class SiteRun
{
public:
    // Writes `files` (name, text: the scripts of simulated UPSes) and the
    // configuration as site.conf into its folder, "@DIR@" in either
    // standing for the folder, and starts halx-host --config on it with
    // `args`.
    // With `user`, halx-host runs as that user (the folder and the files
    // in it are made readable by it).
    explicit SiteRun(const std::string& config_text, const std::vector<std::string>& args = {},
                     const std::map<std::string, std::string>& files = {},
                     std::optional<std::pair<uid_t, gid_t>> user = std::nullopt);
    ~SiteRun();

    nuttest::TempDir& Dir() { return dir_; }
    // The database Rounds reads: site.db in the run's folder unless the
    // configuration named another one here.
    std::string Database() const { return database_.empty() ? dir_.File("site.db") : database_; }
    void UseDatabase(const std::string& path) { database_ = path; }
    // Waits until every UPS named has `rounds` rounds in the database.
    bool WaitForRounds(const std::vector<std::string>& ups, std::size_t rounds,
                       std::chrono::milliseconds timeout);
    // The rounds of a UPS in the database, oldest first.
    std::vector<history::Entry> Rounds(const std::string& ups);
    // Everything halx-host wrote so far (standard output and error).
    std::string Output() const;
    std::optional<int> Ended() { return daemon_->Ended(); }
    // SIGTERM and the exit status.
    int Stop();
    // SIGKILL, as a crash or a power cut of the process would end it; the
    // exit status.
    int Kill();

private:
    nuttest::TempDir dir_;
    std::unique_ptr<nuttest::Daemon> daemon_;
    std::string database_;
};

// halx-host's command in the build tree: the emulator's words first in a
// cross build.
std::vector<std::string> Host(const std::vector<std::string>& args);
// True in a cross build, whose tests run under an emulator.
bool UnderEmulator();

} // namespace sitetest
