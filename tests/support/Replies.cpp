#include "support/Replies.h"

#include <cstdio>
#include <stdexcept>

#include "protocol/PollSequence.h"
#include "protocol/deltanhnt_cmd.h"
#include "record/RecordFields.h"

namespace
{

// What a healthy UPS answers to each query.
struct HealthyPayload {
    ReplyGroup reply;
    const char* payload;
};

const HealthyPayload kHealthyPayloads[] = {
    {ReplyGroup::MNU, "DELTA"},
    {ReplyGroup::MOD, "NH-PLUS 20K"},
    {ReplyGroup::RAT,
     "220;500;220;500;20000;16000;1;3;3;1;1;1;1;2;240;2400;2200;1800;1500;1200;1000"},
    {ReplyGroup::STB, "0;0;0;0;120;100;2712;0;25;0"},
    {ReplyGroup::STI, "1;500;2205;123;2700;499;2210;120;2650;501;2198;118"},
    {ReplyGroup::STO, "0;500;1;2200;115;2530;45;2201;116;2540;46;2199;114;2520;44"},
    {ReplyGroup::STP, "500;1;2205;10;220;2206;11;230;2207;12;240"},
    {ReplyGroup::STA, "0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0"},
    {ReplyGroup::VER, "V1.23"},
};

const char* PayloadFor(ReplyGroup reply)
{
    for (const HealthyPayload& p : kHealthyPayloads) {
        if (p.reply == reply) {
            return p.payload;
        }
    }
    throw std::logic_error("no healthy payload for a step of the poll sequence");
}

std::vector<std::string> Column(std::string CycleReply::*member)
{
    std::vector<std::string> column;
    for (const CycleReply& reply : HealthyCycle()) {
        column.push_back(reply.*member);
    }
    return column;
}

} // namespace

std::string ReplyWithLength(const std::string& length_field, const std::string& payload)
{
    return "~00D" + length_field + payload;
}

std::string Reply(const std::string& payload)
{
    char length[8];
    std::snprintf(length, sizeof length, "%03u", static_cast<unsigned>(payload.size()));
    return ReplyWithLength(length, payload);
}

const std::vector<CycleReply>& HealthyCycle()
{
    // RefreshStatus sends the first query; each step of the poll sequence
    // decodes the reply to the query before it and sends the next one.
    static const std::vector<CycleReply> cycle = [] {
        std::vector<CycleReply> replies;
        CommandIndex query = CMD_MNU;
        for (const PollStep& step : kPollSteps) {
            const std::string payload = PayloadFor(step.reply);
            replies.push_back(CycleReply{std::string("~00P003") + kCommandCodes[query], step.state,
                                         payload, Reply(payload)});
            query = step.next;
        }
        return replies;
    }();
    return cycle;
}

const std::vector<std::string>& HealthyPayloads()
{
    static const std::vector<std::string> payloads = Column(&CycleReply::payload);
    return payloads;
}

const std::vector<std::string>& HealthyReplies()
{
    static const std::vector<std::string> replies = Column(&CycleReply::framed);
    return replies;
}

const std::vector<std::string>& CycleFrames()
{
    static const std::vector<std::string> frames = Column(&CycleReply::query);
    return frames;
}
