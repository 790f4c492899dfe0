// ups-sim as a program: how it reports bad input, announces its line and
// ends.  Runs the built executable (under the cross emulator when the suite
// itself runs under one).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace
{

using namespace std::chrono_literals;

// The command that starts ups-sim: the emulator's words, if any, then the
// executable.
std::vector<std::string> UpsSimCommand()
{
    std::vector<std::string> words;
    std::string emulator = UPS_SIM_EMULATOR;
    std::size_t start = 0;
    while (start < emulator.size()) {
        const std::size_t bar = emulator.find('|', start);
        const std::size_t end = bar == std::string::npos ? emulator.size() : bar;
        if (end > start) {
            words.push_back(emulator.substr(start, end - start));
        }
        start = end + 1;
    }
    words.emplace_back(UPS_SIM_PATH);
    return words;
}

class Process
{
public:
    explicit Process(const std::vector<std::string>& args)
    {
        std::vector<std::string> words = UpsSimCommand();
        words.insert(words.end(), args.begin(), args.end());
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::close(out[0]);
            ::close(err[0]);
            std::vector<char*> argv;
            for (std::string& word : words) {
                argv.push_back(&word[0]);
            }
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Process()
    {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // One line of standard output, without its newline ("" on timeout).
    std::string ReadLine(std::chrono::milliseconds timeout = 20s)
    {
        std::string line;
        char c = 0;
        while (Wait(out_, timeout) && ::read(out_, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }
    void Signal(int signal) const { ::kill(pid_, signal); }
    // Waits for the exit; the exit status, or -1 when killed by a signal.
    int Exit()
    {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return status_;
    }
    std::string Err() const { return Drain(err_); }

private:
    static bool Wait(int fd, std::chrono::milliseconds timeout)
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
    }
    static std::string Drain(int fd)
    {
        std::string text;
        char buffer[512];
        ssize_t n = 0;
        while (Wait(fd, 20s) && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    int status_ = -1;
};

std::string WriteFile(const std::string& name, const std::string& text)
{
    const std::string path = ::testing::TempDir() + std::to_string(::getpid()) + "-" + name;
    std::ofstream(path) << text;
    return path;
}

struct BadInput {
    std::vector<std::string> args;
    int status;
    std::string error; // the one line on standard error begins with it
};

TEST(UpsSimProgram, BadInputIsOneLineOnStandardError)
{
    const std::string bad_script = WriteFile("bad.ups", "# test\nset BattryVlt 2650\nwait 10\n");
    const std::string bad_trace = WriteFile("bad.trace", "2026-12-08T18:39:02.000000 tx 7e3\n");
    const BadInput cases[] = {
        {{"--frobnicate"}, 2, "ups-sim: unrecognised option '--frobnicate'"},
        {{"--chunk"}, 2, "ups-sim: the required argument for option '--chunk' is missing"},
        {{"--chunk", "many"}, 2, "ups-sim: the argument ('many') for option '--chunk' is invalid"},
        {{"--script", "/nonexistent/scenario.ups"},
         2,
         "ups-sim: /nonexistent/scenario.ups: cannot open the script"},
        {{"--script", bad_script}, 2, "ups-sim: " + bad_script + ":3: wait: bad duration \"10\""},
        {{"--replay", bad_trace}, 2, "ups-sim: " + bad_trace + ":1: expected an even number"},
        {{"--set", "Battery=1"}, 2, "ups-sim: --set: unknown field \"Battery\""},
        {{"--set", "BattryVlt"}, 2, "ups-sim: --set: expected NAME=VALUE"},
        {{"--flag", "40"}, 2, "ups-sim: --flag: index 40 out of range 0..18"},
        {{"--noise", "9000"}, 2, "ups-sim: noise: at most 8192 bytes"},
        {{"--delay", "5"}, 2, "ups-sim: --delay: bad duration \"5\""},
        {{"--pty", "--port", "/dev/null"}, 2, "ups-sim: --pty and --port exclude each other"},
        {{"--port", "/dev/nonexistent-tty"}, 1, "ups-sim: cannot open /dev/nonexistent-tty: "},
    };
    for (const BadInput& c : cases) {
        Process sim(c.args);
        const std::string err = sim.Err();
        EXPECT_EQ(sim.Exit(), c.status) << err;
        EXPECT_EQ(err.rfind(c.error, 0), 0U) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }
    ::unlink(bad_script.c_str());
    ::unlink(bad_trace.c_str());
}

// Announces the slave on one line, serves it, and ends cleanly on SIGTERM.
TEST(UpsSimProgram, ServesThePrintedPtyUntilSignalled)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        Process sim({"--quiet", "--set", "BattryVlt=265.0"});
        const std::string line = sim.ReadLine();
        const std::string prefix = "ups-sim: serving on ";
        ASSERT_EQ(line.rfind(prefix, 0), 0U) << line;
        const std::string path = line.substr(prefix.size());

        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0) << path;
        termios raw{};
        ::tcgetattr(fd, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(fd, TCSANOW, &raw);
        ASSERT_EQ(::write(fd, "~00P003STB", 10), 10);
        std::string reply;
        char buffer[64];
        pollfd p{fd, POLLIN, 0};
        while (reply.size() < 34 && ::poll(&p, 1, 10000) > 0) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            reply.append(buffer, static_cast<std::size_t>(n));
        }
        EXPECT_NE(reply.find(";2650;"), std::string::npos) << reply;
        ::close(fd);

        sim.Signal(signal);
        EXPECT_EQ(sim.Exit(), 0);
        EXPECT_EQ(sim.Err(), "");
    }
}

TEST(UpsSimProgram, ScriptedExitEndsTheProgram)
{
    const std::string script = WriteFile("exit.ups", "echo bye\nwait 100ms\nexit\n");
    Process sim({"--script", script});
    EXPECT_EQ(sim.ReadLine().rfind("ups-sim: serving on /dev/", 0), 0U);
    EXPECT_NE(sim.ReadLine().find(" bye"), std::string::npos);
    EXPECT_EQ(sim.Exit(), 0);
    ::unlink(script.c_str());
}

} // namespace
