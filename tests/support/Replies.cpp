#include "support/Replies.h"

#include <cstdio>

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

const std::vector<std::string>& HealthyPayloads()
{
    static const std::vector<std::string> payloads = {
        "DELTA",
        "NH-PLUS 20K",
        "220;500;220;500;20000;16000;1;3;3;1;1;1;1;2;240;2400;2200;1800;1500;1200;1000",
        "0;0;0;0;120;100;2712;0;25;0",
        "1;500;2205;123;2700;499;2210;120;2650;501;2198;118",
        "0;500;1;2200;115;2530;45;2201;116;2540;46;2199;114;2520;44",
        "500;1;2205;10;220;2206;11;230;2207;12;240",
        "0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0",
        "V1.23",
    };
    return payloads;
}

std::vector<std::string> HealthyReplies()
{
    std::vector<std::string> replies;
    for (const std::string& payload : HealthyPayloads()) {
        replies.push_back(Reply(payload));
    }
    return replies;
}

const std::vector<std::string>& CycleFrames()
{
    static const std::vector<std::string> frames = {
        "~00P003MNU", "~00P003MOD", "~00P003RAT", "~00P003STB", "~00P003STI",
        "~00P003STO", "~00P003STP", "~00P003STA", "~00P003VER",
    };
    return frames;
}
