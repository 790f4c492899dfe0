#include "upssim/Script.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

#include "upssim/UpsModel.h"

namespace upssim
{

namespace
{

using Op = ScriptCommand::Op;

ScriptError Error(const std::string& message)
{
    return ScriptError(message);
}

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

std::int64_t Count(const std::string& command, const std::string& text, std::int64_t low,
                   std::int64_t high)
{
    std::int64_t value = 0;
    if (!ParseInteger(text, value) || value < low || value > high) {
        throw Error(command + ": expected a number " + std::to_string(low) + ".." +
                    std::to_string(high) + ", found \"" + text + "\"");
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
        throw Error("set: bad value \"" + text + "\" for " + field.name +
                    " (tenths: an integer or one decimal, e.g. 2205 or 220.5)");
    }
    if (!ParseInteger(text, value) || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        throw Error("set: bad value \"" + text + "\" for " + field.name +
                    (field.type == FieldType::Float32 ? " (tenths: an integer or one decimal)"
                                                      : " (an integer)"));
    }
    return static_cast<std::int32_t>(value);
}

bool OnOff(const std::string& command, const std::vector<std::string>& words)
{
    if (words.size() == 2 && (words[1] == "on" || words[1] == "off")) {
        return words[1] == "on";
    }
    throw Error(command + ": expected on or off");
}

// The text argument: the rest of the line, or a double-quoted string (which
// may be empty or hold "#").
std::string TextArgument(const std::string& command, const std::string& rest)
{
    std::string text = Trim(rest);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
    } else if (text.empty()) {
        throw Error(command + ": expected a text (\"\" for an empty one)");
    }
    if (text.size() > kMaxPayload) {
        throw Error(command + ": text longer than " + std::to_string(kMaxPayload) + " bytes");
    }
    return text;
}

void ExpectWords(const std::vector<std::string>& words, std::size_t low, std::size_t high,
                 const char* usage)
{
    if (words.size() < low || words.size() > high) {
        throw Error(words[0] + ": expected " + usage);
    }
}

bool IsQueryCode(const std::string& word)
{
    return FindCommand(word) != CMD_COUNT;
}

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
        throw Error("bad duration \"" + text + "\" (a number and ms, s, m or h: 500ms, 10s)");
    }
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(value * scale)));
}

bool ParseScriptLine(const std::string& raw, ScriptCommand& command)
{
    const std::string line = StripComment(raw);
    const std::vector<std::string> words = Words(line);
    if (words.empty()) {
        return false;
    }
    command = ScriptCommand();
    command.source = Trim(line);
    const std::string& verb = words[0];
    const auto duration = [&](const std::string& text) {
        try {
            return ParseDuration(text);
        } catch (const ScriptError& error) {
            throw Error(verb + ": " + error.what());
        }
    };

    if (verb == "set") {
        ExpectWords(words, 3, 3, "NAME VALUE");
        const ReplyField* field = FindReplyField(words[1]);
        if (field == nullptr) {
            throw Error("set: unknown field \"" + words[1] + "\"");
        }
        command.op = Op::Set;
        command.name = field->name;
        command.number = WireValue(*field, words[2]);
    } else if (verb == "flag") {
        ExpectWords(words, 2, 3, "NAME|INDEX [VALUE]");
        command.number = words.size() == 3 ? Count("flag", words[2], -128, 255) : 1;
        if (words[1] == "all") {
            command.op = Op::FlagAll;
        } else {
            const ReplyField* field = nullptr;
            std::int64_t index = 0;
            if (ParseInteger(words[1], index)) {
                if (index < 0 || index >= kStatusFlagCount) {
                    throw Error("flag: index " + words[1] + " out of range 0.." +
                                std::to_string(kStatusFlagCount - 1));
                }
                field = StatusFlag(static_cast<unsigned>(index));
            } else {
                field = FindReplyField(words[1]);
                if (field == nullptr || field->group != ReplyGroup::STA) {
                    throw Error("flag: unknown status flag \"" + words[1] + "\"");
                }
            }
            command.op = Op::Flag;
            command.name = field->name;
        }
    } else if (verb == "drift") {
        command.op = Op::Drift;
        command.on = OnOff(verb, words);
    } else if (verb == "manufacturer" || verb == "model" || verb == "version") {
        command.op = Op::Text;
        command.name = verb == "manufacturer" ? "MNU" : verb == "model" ? "MOD" : "VER";
        command.text = TextArgument(verb, line.substr(line.find(verb) + verb.size()));
    } else if (verb == "drop") {
        ExpectWords(words, 2, 64, "N, every N, all, none or query codes");
        if (words[1] == "every") {
            ExpectWords(words, 3, 3, "every N");
            command.op = Op::DropEvery;
            command.number = Count(verb, words[2], 0, 1000000);
        } else if (words[1] == "all" || words[1] == "none") {
            ExpectWords(words, 2, 2, "all or none alone");
            command.op = words[1] == "all" ? Op::DropAll : Op::DropNone;
        } else if (IsQueryCode(words[1])) {
            command.op = Op::DropCodes;
            for (std::size_t i = 1; i < words.size(); ++i) {
                if (!IsQueryCode(words[i])) {
                    throw Error("drop: unknown query \"" + words[i] + "\"");
                }
                command.codes.push_back(words[i]);
            }
        } else {
            ExpectWords(words, 2, 2, "N, every N, all, none or query codes");
            command.op = Op::DropNext;
            command.number = Count(verb, words[1], 1, 1000000);
        }
    } else if (verb == "truncate") {
        ExpectWords(words, 2, 3, "N or every N");
        if (words[1] == "every") {
            ExpectWords(words, 3, 3, "every N");
            command.op = Op::TruncateEvery;
            command.number = Count(verb, words[2], 0, 1000000);
        } else {
            ExpectWords(words, 2, 2, "N or every N");
            command.op = Op::TruncateNext;
            command.number = Count(verb, words[1], 1, 1000000);
        }
    } else if (verb == "noise") {
        ExpectWords(words, 2, 3, "BYTES [before]");
        command.op = Op::Noise;
        command.number = Count(verb, words[1], 1, kMaxNoiseBytes);
        if (words.size() == 3 && words[2] != "before") {
            throw Error("noise: expected \"before\" or nothing after the size");
        }
        command.on = words.size() == 3;
    } else if (verb == "address") {
        ExpectWords(words, 2, 2, "two characters");
        if (words[1].size() != 2 || words[1].find('~') != std::string::npos) {
            throw Error("address: expected two characters, found \"" + words[1] + "\"");
        }
        command.op = Op::Address;
        command.text = words[1];
    } else if (verb == "delay" || verb == "silence") {
        ExpectWords(words, 2, 2, "DURATION");
        command.op = verb == "delay" ? Op::Delay : Op::Silence;
        command.duration = duration(words[1]);
    } else if (verb == "chunk") {
        ExpectWords(words, 2, 3, "BYTES [GAP]");
        command.op = Op::Chunk;
        command.number = Count(verb, words[1], 0, static_cast<std::int64_t>(kMaxChunk));
        command.duration = words.size() == 3 ? duration(words[2]) : std::chrono::milliseconds(2);
    } else if (verb == "pace") {
        command.op = Op::Pace;
        command.on = OnOff(verb, words);
    } else if (verb == "close") {
        ExpectWords(words, 1, 2, "[DURATION]");
        command.op = Op::Close;
        command.duration = words.size() == 2 ? duration(words[1]) : std::chrono::seconds(1);
    } else if (verb == "wait") {
        ExpectWords(words, 2, 3, "DURATION or N cycles");
        if (words.size() == 3) {
            if (words[2] != "cycles" && words[2] != "cycle") {
                throw Error("wait: expected \"cycles\" after the count");
            }
            command.op = Op::WaitCycles;
            command.number = Count(verb, words[1], 1, 1000000000);
        } else {
            command.op = Op::WaitTime;
            command.duration = duration(words[1]);
        }
    } else if (verb == "echo") {
        command.op = Op::Echo;
        command.text = Trim(line.substr(line.find(verb) + verb.size()));
    } else if (verb == "reset" || verb == "repeat" || verb == "exit") {
        ExpectWords(words, 1, 1, "nothing more");
        command.op = verb == "reset" ? Op::Reset : verb == "repeat" ? Op::Repeat : Op::Exit;
    } else {
        throw Error("unknown command \"" + verb + "\"");
    }
    return true;
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
                throw Error("repeat: no wait before it, the script would spin");
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
        throw ScriptError(path + ": cannot open the script");
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
