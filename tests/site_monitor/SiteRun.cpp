#include "SiteRun.h"

#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace sitetest
{

std::vector<std::string> Host(const std::vector<std::string>& args)
{
    std::vector<std::string> command;
    const std::string emulator = HALX_HOST_EMULATOR;
    std::size_t start = 0;
    while (start < emulator.size()) {
        const std::size_t bar = emulator.find('|', start);
        const std::size_t end = bar == std::string::npos ? emulator.size() : bar;
        if (end > start) {
            command.push_back(emulator.substr(start, end - start));
        }
        start = end + 1;
    }
    command.push_back(HALX_HOST_EXE);
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

bool UnderEmulator()
{
    return !std::string(HALX_HOST_EMULATOR).empty();
}

std::uint16_t FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

std::string SiteConfigText(const std::vector<SimUps>& ups, const std::string& database,
                           std::uint16_t nut_port, const std::string& extra)
{
    std::ostringstream text;
    text << "// written by the site monitor's tests\n{\n  \"site\": \"test-site\",\n";
    if (!database.empty()) {
        text << "  \"database\": \"" << database << "\",\n";
    }
    text << "  \"ups\": [\n";
    for (std::size_t i = 0; i < ups.size(); ++i) {
        const SimUps& u = ups[i];
        text << "    { \"name\": \"" << u.name << "\", \"description\": \"test " << u.name
             << "\", \"sim\": " << u.sim << ", \"data_id\": " << u.data_id
             << ", \"interval\": " << u.interval_s << ", \"reply_timeout\": 1"
             << ", \"stale_after\": " << u.stale_after_s << " }" << (i + 1 < ups.size() ? "," : "")
             << "\n";
    }
    text << "  ],\n  \"nut\": {\n    \"listen\": [\"127.0.0.1:" << nut_port << "\"],\n"
         << "    \"users\": [\n"
         << "      { \"name\": \"monuser\", \"password\": \"secret\", \"role\": \"secondary\" },\n"
         << "      { \"name\": \"admin\", \"password\": \"adminpass\", \"role\": \"primary\" }\n"
         << "    ]\n  }" << extra << "\n}\n";
    return text.str();
}

namespace
{

std::string Substitute(std::string text, const std::string& dir)
{
    for (std::size_t at = text.find("@DIR@"); at != std::string::npos;
         at = text.find("@DIR@", at + dir.size())) {
        text.replace(at, 5, dir);
    }
    return text;
}

} // namespace

SiteRun::SiteRun(const std::string& config_text, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& files,
                 std::optional<std::pair<uid_t, gid_t>> user)
{
    if (user) {
        ::chmod(dir_.path().c_str(), 0755);
    }
    for (const auto& [name, text] : files) {
        dir_.Write(name, Substitute(text, dir_.path()));
    }
    dir_.Write("site.conf", Substitute(config_text, dir_.path()));
    std::vector<std::string> command = Host({"--config", dir_.File("site.conf")});
    command.insert(command.end(), args.begin(), args.end());
    std::optional<uid_t> uid;
    std::optional<gid_t> gid;
    if (user) {
        uid = user->first;
        gid = user->second;
    }
    daemon_ = std::make_unique<nuttest::Daemon>(command, std::vector<std::string>{},
                                                dir_.File("output"), uid, gid);
}

SiteRun::~SiteRun() = default;

std::string SiteRun::Output() const
{
    return dir_.Read("output");
}

int SiteRun::Stop()
{
    daemon_->Stop();
    return daemon_->Ended().value_or(-1);
}

int SiteRun::Kill()
{
    ::kill(-daemon_->pid(), SIGKILL);
    nuttest::WaitFor([this] { return daemon_->Ended().has_value(); }, std::chrono::seconds(5));
    return daemon_->Ended().value_or(-1);
}

std::vector<history::Entry> SiteRun::Rounds(const std::string& ups)
{
    try {
        const auto source = history::OpenHistory(Database());
        history::Filter filter;
        filter.ups = ups;
        return history::ReadAll(*source, filter);
    } catch (const history::ReadError&) {
        return {};
    }
}

bool SiteRun::WaitForRounds(const std::vector<std::string>& ups, std::size_t rounds,
                            std::chrono::milliseconds timeout)
{
    return nuttest::WaitFor(
        [&] {
            for (const std::string& name : ups) {
                if (Rounds(name).size() < rounds) {
                    return false;
                }
            }
            return true;
        },
        timeout);
}

} // namespace sitetest
