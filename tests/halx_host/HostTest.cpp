#include "HostTest.h"

#include <sstream>

#include <json/reader.h>

#include "common/Format.h"
#include "common/PollCycle.h"
#include "upssim/Responder.h"

SimulatedLine::SimulatedLine(upssim::Options options) : link_(dir_.File("ttyUPS"))
{
    options.log_traffic = true;
    options.on_event = [this](const upssim::Event& event) { Heard(event); };
    sim_ = std::make_unique<upssim::PtySimulator>(options, link_);
}

SimulatedLine::~SimulatedLine()
{
    sim_.reset(); // before the folder and the events go
}

upssim::Options SimulatedLine::Healthy(const std::string& script)
{
    upssim::Options options;
    options.drift = false;
    std::istringstream in(script);
    options.script = upssim::ParseScript(in, "test.ups");
    return options;
}

void SimulatedLine::Heard(const upssim::Event& event)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }
    changed_.notify_all();
}

std::vector<std::string> SimulatedLine::Queries() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> frames;
    for (const upssim::Event& event : events_) {
        if (event.kind == upssim::Event::Kind::Query) {
            frames.push_back(event.text);
        }
    }
    return frames;
}

bool SimulatedLine::WaitFor(upssim::Event::Kind kind, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (const upssim::Event& event : events_) {
            if (event.kind == kind) {
                return true;
            }
        }
        return false;
    });
}

std::vector<std::string> RepliesOf(upssim::Options options)
{
    options.script.clear();
    options.noise = 0;
    options.on_event = nullptr;
    upssim::Responder ups(options);
    std::vector<std::string> replies;
    for (const CommandIndex command : tools::PollCycle()) {
        const std::string frame = tools::QueryFrame(command);
        std::vector<upssim::Output> outputs;
        ups.Receive(frame.data(), frame.size(), upssim::Clock::time_point(), outputs);
        std::string reply;
        for (const upssim::Output& output : outputs) {
            reply += output.bytes;
        }
        replies.push_back(reply);
    }
    return replies;
}

RunResult RunHost(const std::vector<std::string>& args, std::chrono::milliseconds timeout)
{
    return RunProgram(HALX_HOST_EXE, args, timeout);
}

std::unique_ptr<ChildProcess> StartHost(const std::vector<std::string>& args)
{
    return std::make_unique<ChildProcess>(HALX_HOST_EXE, args);
}

std::vector<Json::Value> JsonEvents(const std::string& text)
{
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::vector<Json::Value> events;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.front() != '{') {
            continue;
        }
        Json::Value value;
        std::string errors;
        if (reader->parse(line.data(), line.data() + line.size(), &value, &errors) &&
            value.isObject()) {
            events.push_back(value);
        }
    }
    return events;
}

std::vector<std::string> Kinds(const std::vector<Json::Value>& events)
{
    std::vector<std::string> kinds;
    for (const Json::Value& e : events) {
        kinds.push_back(e["event"].asString());
    }
    return kinds;
}

std::vector<Json::Value> OfKind(const std::vector<Json::Value>& events, const std::string& kind)
{
    std::vector<Json::Value> found;
    for (const Json::Value& e : events) {
        if (e["event"].asString() == kind) {
            found.push_back(e);
        }
    }
    return found;
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& needle)
{
    std::vector<std::string> found;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(needle) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

std::string FromHex(const std::string& hex)
{
    return tools::FromHex(hex).value_or("");
}
