#include "upssim/Script.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

#include "record/StatusFlags.h"
#include "upssim/UpsModel.h"

namespace upssim
{

namespace
{

using Op = ScriptCommand::Op;

// The line without its comment: "#" at the start of a word begins one.
std::string StripComment(const std::string& line)
{
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (!quoted && line[i] == '#' &&
                   (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
            return line.substr(0, i);
        }
    }
    return line;
}

std::string Trim(const std::string& text)
{
    const std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) {
        return std::string();
    }
    const std::size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::vector<std::string> Words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

bool ParseInteger(const std::string& text, std::int64_t& value)
{
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || text[0] == ' ') {
        return false;
    }
    value = parsed;
    return true;
}

std::int64_t Count(const std::string& text, std::int64_t low, std::int64_t high)
{
    std::int64_t value = 0;
    if (!ParseInteger(text, value) || value < low || value > high) {
        throw ScriptError("expected a number " + std::to_string(low) + ".." + std::to_string(high) +
                          ", found \"" + text + "\"");
    }
    return value;
}

// A wire value: an integer, or for a tenths field a number with one decimal
// ("265.0" sends 2650).
std::int32_t WireValue(const ReplyField& field, const std::string& text)
{
    std::int64_t value = 0;
    const std::size_t point = text.find('.');
    if (point != std::string::npos && field.type == FieldType::Float32) {
        const std::string whole = text.substr(0, point);
        const std::string tenth = text.substr(point + 1);
        std::int64_t units = 0;
        if (tenth.size() == 1 && tenth[0] >= '0' && tenth[0] <= '9' &&
            (whole == "-" || whole.empty() || ParseInteger(whole, units))) {
            const bool negative = !whole.empty() && whole[0] == '-';
            const std::int64_t magnitude = std::llabs(units) * 10 + (tenth[0] - '0');
            value = negative ? -magnitude : magnitude;
            if (value >= std::numeric_limits<std::int32_t>::min() &&
                value <= std::numeric_limits<std::int32_t>::max()) {
                return static_cast<std::int32_t>(value);
            }
        }
        throw ScriptError("bad value \"" + text + "\" for " + field.name +
                          " (tenths: an integer or one decimal, e.g. 2205 or 220.5)");
    }
    if (!ParseInteger(text, value) || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        throw ScriptError("bad value \"" + text + "\" for " + field.name +
                          (field.type == FieldType::Float32 ? " (tenths: an integer or one decimal)"
                                                            : " (an integer)"));
    }
    return static_cast<std::int32_t>(value);
}

bool IsQueryCode(const std::string& word)
{
    return FindCommand(word) != CMD_COUNT;
}

// A command line taken apart: its words (the verb first) and the text after
// the verb, for the commands whose argument is the rest of the line.
struct Line {
    std::vector<std::string> words;
    std::string rest;
};

void Expect(const Line& line, std::size_t words, const char* usage)
{
    if (line.words.size() != words) {
        throw ScriptError(std::string("expected ") + usage);
    }
}

// Each parser fills in what its verb takes; the op and the name come from
// the verb's table entry, errors get the verb in front.
void Set(const Line& line, ScriptCommand& command)
{
    const ReplyField* field = FindReplyField(line.words[1]);
    if (field == nullptr) {
        throw ScriptError("unknown field \"" + line.words[1] + "\"");
    }
    command.name = field->name;
    command.number = WireValue(*field, line.words[2]);
}

void Flag(const Line& line, ScriptCommand& command)
{
    const std::vector<std::string>& words = line.words;
    // Any byte; 255, the highest, is what the plug-in takes for a flag the
    // UPS did not report.
    command.number = words.size() == 3 ? Count(words[2], std::numeric_limits<std::int8_t>::min(),
                                               kStatusFlagNotReported)
                                       : kStatusFlagActive;
    if (words[1] == "all") {
        command.op = Op::FlagAll;
        return;
    }
    const ReplyField* field = nullptr;
    std::int64_t index = 0;
    if (ParseInteger(words[1], index)) {
        if (index < 0 || index >= kStatusFlagCount) {
            throw ScriptError("index " + words[1] + " out of range 0.." +
                              std::to_string(kStatusFlagCount - 1));
        }
        field = StatusFlag(static_cast<unsigned>(index));
    } else {
        field = FindReplyField(words[1]);
        if (field == nullptr || field->group != ReplyGroup::STA) {
            throw ScriptError("unknown status flag \"" + words[1] + "\"");
        }
    }
    command.name = field->name;
}

void OnOff(const Line& line, ScriptCommand& command)
{
    if (line.words[1] != "on" && line.words[1] != "off") {
        throw ScriptError("expected on or off");
    }
    command.on = line.words[1] == "on";
}

// The rest of the line, or a double-quoted string (which may be empty or
// hold "#").
void Text(const Line& line, ScriptCommand& command)
{
    std::string text = Trim(line.rest);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
    } else if (text.empty()) {
        throw ScriptError("expected a text (\"\" for an empty one)");
    }
    if (text.size() > kMaxFramePayload) {
        throw ScriptError("text longer than " + std::to_string(kMaxFramePayload) + " bytes");
    }
    command.text = text;
}

void Drop(const Line& line, ScriptCommand& command)
{
    const std::vector<std::string>& words = line.words;
    if (words[1] == "every") {
        Expect(line, 3, "every N");
        command.op = Op::DropEvery;
        command.number = Count(words[2], 0, 1000000);
    } else if (words[1] == "all" || words[1] == "none") {
        Expect(line, 2, "all or none alone");
        command.op = words[1] == "all" ? Op::DropAll : Op::DropNone;
    } else if (IsQueryCode(words[1])) {
        command.op = Op::DropCodes;
        for (std::size_t i = 1; i < words.size(); ++i) {
            if (!IsQueryCode(words[i])) {
                throw ScriptError("unknown query \"" + words[i] + "\"");
            }
            command.codes.push_back(words[i]);
        }
    } else {
        Expect(line, 2, "N, every N, all, none or query codes");
        command.number = Count(words[1], 1, 1000000);
    }
}

void Truncate(const Line& line, ScriptCommand& command)
{
    if (line.words[1] == "every") {
        Expect(line, 3, "every N");
        command.op = Op::TruncateEvery;
        command.number = Count(line.words[2], 0, 1000000);
    } else {
        Expect(line, 2, "N or every N");
        command.number = Count(line.words[1], 1, 1000000);
    }
}

void Noise(const Line& line, ScriptCommand& command)
{
    command.number = Count(line.words[1], 1, kMaxNoiseBytes);
    if (line.words.size() == 3 && line.words[2] != "before") {
        throw ScriptError("expected \"before\" or nothing after the size");
    }
    command.on = line.words.size() == 3;
}

void Address(const Line& line, ScriptCommand& command)
{
    const std::string& address = line.words[1];
    if (address.size() != 2 || address.find(kFrameStart) != std::string::npos) {
        throw ScriptError("expected two characters, found \"" + address + "\"");
    }
    command.text = address;
}

void Duration(const Line& line, ScriptCommand& command)
{
    command.duration = ParseDuration(line.words[1]);
}

void Chunk(const Line& line, ScriptCommand& command)
{
    command.number = Count(line.words[1], 0, static_cast<std::int64_t>(kMaxChunk));
    command.duration =
        line.words.size() == 3 ? ParseDuration(line.words[2]) : std::chrono::milliseconds(2);
}

void Close(const Line& line, ScriptCommand& command)
{
    command.duration =
        line.words.size() == 2 ? ParseDuration(line.words[1]) : std::chrono::seconds(1);
}

void Wait(const Line& line, ScriptCommand& command)
{
    if (line.words.size() == 2) {
        Duration(line, command);
        return;
    }
    if (line.words[2] != "cycles" && line.words[2] != "cycle") {
        throw ScriptError("expected \"cycles\" after the count");
    }
    command.op = Op::WaitCycles;
    command.number = Count(line.words[1], 1, 1000000000);
}

void Echo(const Line& line, ScriptCommand& command)
{
    command.text = Trim(line.rest);
}

struct Verb {
    const char* word;
    // Words the line may have, the verb included.
    std::size_t min_words, max_words;
    const char* usage; // what the verb expects after it, for the error
    Op op;             // the command, unless the parser picks a variant
    const char* name;  // ScriptCommand::name, for the text commands
    void (*parse)(const Line& line, ScriptCommand& command);
};

constexpr std::size_t kAnyWords = std::numeric_limits<std::size_t>::max();

// clang-format off
constexpr Verb kVerbs[] = {
    {"set",          3, 3,  "NAME VALUE",                           Op::Set,          "",    Set},
    {"flag",         2, 3,  "NAME|INDEX [VALUE]",                   Op::Flag,         "",    Flag},
    {"drift",        2, 2,  "on or off",                            Op::Drift,        "",    OnOff},
    {"manufacturer", 1, kAnyWords, "",                              Op::Text,         "MNU", Text},
    {"model",        1, kAnyWords, "",                              Op::Text,         "MOD", Text},
    {"version",      1, kAnyWords, "",                              Op::Text,         "VER", Text},
    {"drop",         2, 64, "N, every N, all, none or query codes", Op::DropNext,     "",    Drop},
    {"truncate",     2, 3,  "N or every N",                         Op::TruncateNext, "",    Truncate},
    {"noise",        2, 3,  "BYTES [before]",                       Op::Noise,        "",    Noise},
    {"address",      2, 2,  "two characters",                       Op::Address,      "",    Address},
    {"delay",        2, 2,  "DURATION",                             Op::Delay,        "",    Duration},
    {"silence",      2, 2,  "DURATION",                             Op::Silence,      "",    Duration},
    {"chunk",        2, 3,  "BYTES [GAP]",                          Op::Chunk,        "",    Chunk},
    {"pace",         2, 2,  "on or off",                            Op::Pace,         "",    OnOff},
    {"close",        1, 2,  "[DURATION]",                           Op::Close,        "",    Close},
    {"wait",         2, 3,  "DURATION or N cycles",                 Op::WaitTime,     "",    Wait},
    {"echo",         1, kAnyWords, "",                              Op::Echo,         "",    Echo},
    {"reset",        1, 1,  "nothing more",                         Op::Reset,        "",    nullptr},
    {"repeat",       1, 1,  "nothing more",                         Op::Repeat,       "",    nullptr},
    {"exit",         1, 1,  "nothing more",                         Op::Exit,         "",    nullptr},
};
// clang-format on

} // namespace

std::chrono::milliseconds ParseDuration(const std::string& text)
{
    std::size_t digits = 0;
    while (digits < text.size() &&
           ((text[digits] >= '0' && text[digits] <= '9') || text[digits] == '.')) {
        ++digits;
    }
    const std::string number = text.substr(0, digits);
    const std::string unit = text.substr(digits);
    double scale = 0;
    if (unit == "ms") {
        scale = 1;
    } else if (unit == "s") {
        scale = 1000;
    } else if (unit == "m" || unit == "min") {
        scale = 60 * 1000;
    } else if (unit == "h") {
        scale = 3600 * 1000;
    }
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (number.empty() || scale == 0 || end != number.c_str() + number.size() ||
        !std::isfinite(value) || value * scale > 1e12) {
        throw ScriptError("bad duration \"" + text + "\" (a number and ms, s, m or h: 500ms, 10s)");
    }
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(value * scale)));
}

bool ParseScriptLine(const std::string& raw, ScriptCommand& command)
{
    const std::string text = StripComment(raw);
    Line line;
    line.words = Words(text);
    if (line.words.empty()) {
        return false;
    }
    const std::string& word = line.words[0];
    const Verb* verb = nullptr;
    for (const Verb& candidate : kVerbs) {
        if (word == candidate.word) {
            verb = &candidate;
        }
    }
    if (verb == nullptr) {
        throw ScriptError("unknown command \"" + word + "\"");
    }
    line.rest = text.substr(text.find(word) + word.size());
    command = ScriptCommand();
    command.source = Trim(text);
    command.op = verb->op;
    command.name = verb->name;
    try {
        if (line.words.size() < verb->min_words || line.words.size() > verb->max_words) {
            throw ScriptError(std::string("expected ") + verb->usage);
        }
        if (verb->parse != nullptr) {
            verb->parse(line, command);
        }
    } catch (const ScriptError& error) {
        throw ScriptError(word + ": " + error.what());
    }
    return true;
}

ScriptCommand ParseAssignment(const std::string& verb, const std::string& text,
                              const std::string& fallback)
{
    const std::size_t equals = text.find('=');
    std::string line = verb + " ";
    if (equals != std::string::npos) {
        line += text.substr(0, equals) + " " + text.substr(equals + 1);
    } else if (!fallback.empty()) {
        line += text + " " + fallback;
    } else {
        throw ScriptError("expected NAME=VALUE, found \"" + text + "\"");
    }
    ScriptCommand command;
    try {
        ParseScriptLine(line, command);
    } catch (const ScriptError& error) {
        // Without the verb ParseScriptLine puts in front.
        const std::string message = error.what();
        throw ScriptError(message.rfind(verb + ": ", 0) == 0 ? message.substr(verb.size() + 2)
                                                             : message);
    }
    return command;
}

Script ParseScript(std::istream& in, const std::string& source)
{
    Script script;
    std::string line;
    int number = 0;
    bool waited = false;
    while (std::getline(in, line)) {
        ++number;
        ScriptCommand command;
        try {
            if (!ParseScriptLine(line, command)) {
                continue;
            }
            if (command.op == Op::Repeat && !waited) {
                throw ScriptError("repeat: no wait before it, the script would spin");
            }
        } catch (const ScriptError& error) {
            throw ScriptError(source + ":" + std::to_string(number) + ": " + error.what());
        }
        waited = waited || command.op == Op::WaitTime || command.op == Op::WaitCycles;
        command.line = number;
        script.push_back(std::move(command));
    }
    return script;
}

Script LoadScript(const std::string& path)
{
    std::ifstream in(path);
    if (!in) {
        throw ScriptError(path + ": cannot open the script: " + std::strerror(errno));
    }
    return ParseScript(in, path);
}

Scenario::Scenario(Script script) : script_(std::move(script)) {}

void Scenario::Run(Clock::time_point now, std::uint64_t cycles,
                   const std::function<void(const ScriptCommand&)>& apply)
{
    if (waiting_) {
        const bool timed = wait_until_ != Clock::time_point::max();
        if ((timed && now < wait_until_) || cycles < wait_cycles_) {
            return;
        }
        waiting_ = false;
        wait_until_ = Clock::time_point::max();
        wait_cycles_ = 0;
    }
    while (next_ < script_.size()) {
        const ScriptCommand& command = script_[next_++];
        switch (command.op) {
        case Op::WaitTime:
            waiting_ = true;
            wait_until_ = now + command.duration;
            return;
        case Op::WaitCycles:
            waiting_ = true;
            wait_cycles_ = cycles + static_cast<std::uint64_t>(command.number);
            return;
        case Op::Repeat:
            next_ = 0;
            break;
        default:
            apply(command);
            if (command.op == Op::Exit) {
                next_ = script_.size();
                return;
            }
            break;
        }
    }
}

} // namespace upssim
