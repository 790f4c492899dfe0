#include "upssim/Responder.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "protocol/FrameLayout.h"

namespace upssim
{

namespace
{

using Op = ScriptCommand::Op;

// The UPS's own address: queries for another one are not for it.
constexpr const char* kOwnAddress = "00";
// Recorded pauses longer than this are shortened on replay.
constexpr std::chrono::microseconds kLongestReplayPause = std::chrono::seconds(2);

const ReplyField& FieldNamed(const std::string& name)
{
    const ReplyField* field = FindReplyField(name);
    if (field == nullptr) {
        throw std::invalid_argument("unknown field \"" + name + "\"");
    }
    return *field;
}

} // namespace

Responder::Responder(const Options& options)
    : options_(options), model_(options.seed), scenario_(options.script),
      noise_random_(options.seed ^ 0x9E3779B9U)
{
    ValidateOptions(options_);
    ApplyOptions();
}

void Responder::ApplyOptions()
{
    model_.Reset();
    model_.SetText(CMD_MNU, options_.manufacturer);
    model_.SetText(CMD_MOD, options_.model);
    model_.SetText(CMD_VER, options_.version);
    for (const auto& value : options_.values) {
        model_.Set(FieldNamed(value.first), value.second);
    }
    model_.SetDrift(options_.drift);

    faults_ = Faults();
    faults_.drop_all = options_.drop_all;
    faults_.drop_every = options_.drop_every;
    faults_.drop_codes = options_.drop_codes;
    faults_.noise_every_reply = options_.noise;
    faults_.truncate_every = options_.truncate_every;
    faults_.address = options_.address;
    faults_.delay = options_.delay;

    shape_.chunk = options_.chunk;
    shape_.gap = options_.chunk_gap;
    shape_.pace = options_.pace;
    shape_.baud = options_.baud;
}

void Responder::Receive(const char* data, std::size_t length, Clock::time_point now,
                        std::vector<Output>& out)
{
    std::vector<Query> queries;
    scanner_.Feed(data, length, queries);
    if (const std::size_t skipped = scanner_.TakeSkipped()) {
        Event skip{Event::Kind::Skipped};
        skip.count = skipped;
        Traffic(skip);
    }
    RunScript(now, out);
    for (const Query& query : queries) {
        Event received{Event::Kind::Query, query.frame, query.code};
        Traffic(received);
        if (query.address != kOwnAddress) {
            ++counters_.queries;
            Dropped(query, "another address", false);
            continue;
        }
        const CommandIndex command = FindCommand(query.code);
        if (command == CMD_MNU) {
            if (cycle_open_) {
                EndCycle(now, out); // without this MNU, the next cycle's first query
            }
            cycle_open_ = true;
        }
        ++counters_.queries;
        Answer(query, now, out);
        if (command == CMD_VER) {
            cycle_open_ = false;
            EndCycle(now, out);
        }
    }
}

void Responder::Tick(Clock::time_point now, std::vector<Output>& out)
{
    RunScript(now, out);
}

void Responder::EndCycle(Clock::time_point now, std::vector<Output>& out)
{
    ++counters_.cycles;
    Event cycle{Event::Kind::Cycle};
    cycle.count = counters_.cycles;
    cycle.tally.queries = counters_.queries - cycle_start_.queries;
    cycle.tally.replies = counters_.replies - cycle_start_.replies;
    cycle.tally.dropped = counters_.dropped - cycle_start_.dropped;
    cycle_start_ = counters_;
    // Shown without the traffic too: one line per cycle.
    Emit(cycle);
    RunScript(now, out);
}

void Responder::RunScript(Clock::time_point now, std::vector<Output>& out)
{
    scenario_.Run(now, counters_.cycles,
                  [&](const ScriptCommand& command) { Apply(command, now, out); });
}

void Responder::Apply(const ScriptCommand& command, Clock::time_point now, std::vector<Output>& out)
{
    Event ran{command.op == Op::Echo ? Event::Kind::Echo : Event::Kind::Script,
              command.op == Op::Echo ? command.text : command.source};
    ran.line = command.line;
    Emit(ran);
    switch (command.op) {
    case Op::Set:
    case Op::Flag:
        model_.Set(FieldNamed(command.name), static_cast<std::int32_t>(command.number));
        break;
    case Op::FlagAll:
        model_.SetAllFlags(static_cast<std::int32_t>(command.number));
        break;
    case Op::Drift:
        model_.SetDrift(command.on);
        break;
    case Op::Text:
        model_.SetText(FindCommand(command.name), command.text);
        break;
    case Op::DropNext:
        faults_.drop_next += static_cast<std::uint64_t>(command.number);
        break;
    case Op::DropEvery:
        faults_.drop_every = static_cast<unsigned>(command.number);
        break;
    case Op::DropAll:
        faults_.drop_all = true;
        break;
    case Op::DropNone:
        faults_.drop_all = false;
        faults_.drop_every = 0;
        faults_.drop_next = 0;
        faults_.drop_codes.clear();
        break;
    case Op::DropCodes:
        faults_.drop_codes.insert(faults_.drop_codes.end(), command.codes.begin(),
                                  command.codes.end());
        break;
    case Op::TruncateNext:
        faults_.truncate_next += static_cast<std::uint64_t>(command.number);
        break;
    case Op::TruncateEvery:
        faults_.truncate_every = static_cast<unsigned>(command.number);
        break;
    case Op::Noise:
        if (command.on) {
            faults_.noise_before_next += static_cast<std::size_t>(command.number);
        } else {
            Output noise;
            noise.bytes = Noise(static_cast<std::size_t>(command.number));
            noise.shape = shape_;
            out.push_back(std::move(noise));
            Event written{Event::Kind::Noise};
            written.count = static_cast<std::uint64_t>(command.number);
            Traffic(written);
        }
        break;
    case Op::Address:
        faults_.address = command.text;
        break;
    case Op::Delay:
        faults_.delay = command.duration;
        break;
    case Op::Silence: {
        faults_.silent_until = now + command.duration;
        Event silence{Event::Kind::Silence};
        silence.count = static_cast<std::uint64_t>(command.duration.count());
        Emit(silence);
        break;
    }
    case Op::Chunk:
        shape_.chunk = static_cast<std::size_t>(command.number);
        shape_.gap = command.duration;
        break;
    case Op::Pace:
        shape_.pace = command.on;
        break;
    case Op::Close: {
        Output close;
        close.kind = Output::Kind::Close;
        close.pause = command.duration;
        out.push_back(close);
        break;
    }
    case Op::Reset:
        ApplyOptions();
        break;
    case Op::Exit: {
        Output exit;
        exit.kind = Output::Kind::Exit;
        out.push_back(exit);
        break;
    }
    case Op::Echo:
        break; // reported above
    case Op::WaitTime:
    case Op::WaitCycles:
    case Op::Repeat:
        break; // control flow, handled by the scenario
    }
}

const char* Responder::DropReason(const Query& query, Clock::time_point now)
{
    if (now < faults_.silent_until) {
        return "silence";
    }
    if (faults_.drop_all) {
        return "drop all";
    }
    if (std::find(faults_.drop_codes.begin(), faults_.drop_codes.end(), query.code) !=
        faults_.drop_codes.end()) {
        return "drop query";
    }
    if (faults_.drop_next > 0) {
        --faults_.drop_next;
        return "drop next";
    }
    if (faults_.drop_every > 0 && counters_.queries % faults_.drop_every == 0) {
        return "drop every";
    }
    return nullptr;
}

void Responder::Answer(const Query& query, Clock::time_point now, std::vector<Output>& out)
{
    if (const char* reason = DropReason(query, now)) {
        ++counters_.dropped;
        Dropped(query, reason, true);
        return;
    }
    if (options_.replay) {
        AnswerFromReplay(query, out);
    } else {
        AnswerFromModel(query, FindCommand(query.code), out);
    }
}

void Responder::AnswerFromModel(const Query& query, CommandIndex command, std::vector<Output>& out)
{
    const std::optional<std::string> payload = model_.Payload(command);
    if (!payload) {
        Dropped(query, "unknown query", false);
        return;
    }
    std::string frame = ReplyFrame(faults_.address, *payload);
    bool truncate = false;
    if (faults_.truncate_next > 0) {
        --faults_.truncate_next;
        truncate = true;
    } else if (faults_.truncate_every > 0) {
        truncate = (counters_.replies + 1) % faults_.truncate_every == 0;
    }
    if (truncate) {
        // The header announces the whole payload; half of it comes.
        frame.resize(payload->empty() ? frame.size() - 1
                                      : frame.size() - (payload->size() + 1) / 2);
    }

    Output reply;
    reply.pause = faults_.delay;
    reply.bytes = Noise(faults_.noise_every_reply + faults_.noise_before_next) + frame;
    reply.shape = shape_;
    faults_.noise_before_next = 0;
    ++counters_.replies;
    Event sent{Event::Kind::Reply, frame, query.code};
    sent.count = reply.bytes.size() - frame.size();
    sent.truncated = truncate;
    Traffic(sent);
    out.push_back(std::move(reply));
}

void Responder::AnswerFromReplay(const Query& query, std::vector<Output>& out)
{
    const std::vector<ReplayBook::Answer>* answers = options_.replay->Answers(query.frame);
    if (answers == nullptr || answers->empty()) {
        Dropped(query, "not in the trace", false);
        return;
    }
    std::size_t& next = replay_next_[query.frame];
    const ReplayBook::Answer& answer = (*answers)[next];
    next = (next + 1) % answers->size();
    if (answer.empty()) {
        ++counters_.dropped;
        Dropped(query, "none recorded", true);
        return;
    }
    Event sent{Event::Kind::Reply, "", query.code};
    sent.recorded = true;
    for (std::size_t i = 0; i < answer.size(); ++i) {
        Output chunk;
        chunk.pause = std::min(answer[i].after, kLongestReplayPause);
        chunk.bytes = answer[i].bytes;
        chunk.shape = shape_;
        if (i == 0) {
            chunk.pause += faults_.delay;
            chunk.bytes =
                Noise(faults_.noise_every_reply + faults_.noise_before_next) + chunk.bytes;
            faults_.noise_before_next = 0;
            sent.count = chunk.bytes.size() - answer[i].bytes.size();
        }
        sent.text += answer[i].bytes;
        out.push_back(std::move(chunk));
    }
    ++counters_.replies;
    Traffic(sent);
}

std::string Responder::Noise(std::size_t length)
{
    // Every byte value, or all but the frame start.
    const int highest = std::numeric_limits<unsigned char>::max();
    std::uniform_int_distribution<int> byte(0,
                                            options_.noise_without_start ? highest - 1 : highest);
    std::string noise(length, '\0');
    for (char& c : noise) {
        int value = byte(noise_random_);
        if (options_.noise_without_start && value >= static_cast<unsigned char>(kFrameStart)) {
            ++value;
        }
        c = static_cast<char>(value);
    }
    return noise;
}

void Responder::Emit(const Event& event) const
{
    if (options_.on_event && (!event.traffic || options_.log_traffic)) {
        options_.on_event(event);
    }
}

void Responder::Traffic(Event& event) const
{
    event.traffic = true;
    Emit(event);
}

void Responder::Dropped(const Query& query, const char* reason, bool traffic) const
{
    Event drop{Event::Kind::Drop, reason, query.code};
    drop.traffic = traffic;
    Emit(drop);
}

} // namespace upssim
