// The history file written while polling, read back with --decode and handed
// to the plug-in again with --load-cache.
#include <algorithm>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "HostTest.h"
#include "upssim/UpsModel.h"

namespace
{

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string bytes(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

Json::Value Without(Json::Value fields, const char* name)
{
    fields.removeMember(name);
    return fields;
}

} // namespace

TEST(HalxHostFiles, HistoryDecodesAndLoadsBackFromCache)
{
    // Status flag 9 (a fan fault) raised.
    upssim::Options options = SimulatedLine::Healthy();
    options.values[upssim::StatusFlag(9)->name] = 1;
    const SimulatedLine ups(options);
    const std::string history = ups.Dir().File("history.bin");

    // Poll two cycles, appending to the history file.
    const RunResult polled =
        RunHost({"--port", ups.Path(), "--json", "--interval", "0.2", "--reply-timeout", "10",
                 "--cycles", "2", "--data-id", "77", "--history", history});
    ASSERT_EQ(polled.status, 0) << polled.err;
    const std::vector<Json::Value> records = OfKind(JsonEvents(polled.out), "record");
    ASSERT_EQ(records.size(), 2U);
    const std::string stored = ReadAll(history);
    ASSERT_EQ(stored.size(), 676U);
    EXPECT_EQ(stored,
              FromHex(records[0]["hex"].asString()) + FromHex(records[1]["hex"].asString()));

    // --decode shows each stored record as it was reported.
    const RunResult decoded = RunHost({"--decode", history, "--json"});
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    const std::vector<Json::Value> shown = OfKind(JsonEvents(decoded.out), "decoded");
    ASSERT_EQ(shown.size(), 2U);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(shown[i]["index"].asUInt(), i);
        EXPECT_EQ(shown[i]["hex"], records[i]["hex"]);
        EXPECT_EQ(shown[i]["fields"], records[i]["fields"]);
    }

    // The readable form names every field with its offset and type.
    const RunResult text = RunHost({"--decode", history});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("record 2 of 2 (file offset 338)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("129  BattryVlt       float32  271.2"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  0  DataId          uint32   77"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  4  UpsMnu          text16   \"DELTA\""), std::string::npos);

    // The first record handed to LoadFromCache is reported and stored again,
    // stamped anew, and its values and alarms come back.
    const std::string cache = ups.Dir().Write("cache.bin", stored.substr(0, 338));
    const std::string history2 = ups.Dir().File("history2.bin");
    const RunResult loaded = RunHost({"--load-cache", cache, "--json", "--history", history2});
    ASSERT_EQ(loaded.status, 0) << loaded.err;
    const std::vector<Json::Value> events = JsonEvents(loaded.out);
    std::vector<std::string> expected = {"start", "record", "reset"};
    expected.insert(expected.end(), 15, "alarm");
    expected.insert(expected.end(), {"console", "history", "load_cache", "values"});
    ASSERT_EQ(Kinds(events), expected);
    EXPECT_EQ(Without(events[1]["fields"], "RoundTime"),
              Without(records[0]["fields"], "RoundTime"));
    EXPECT_TRUE(events[20]["accepted"].asBool());
    // The cached record's own stamp, beside the one it is reported with.
    EXPECT_EQ(events[20]["cached_stamp"], records[0]["fields"]["RoundTime"]);
    EXPECT_EQ(ReadAll(history2), FromHex(events[1]["hex"].asString()));
    for (std::size_t row = 0; row < 15; ++row) {
        EXPECT_EQ(events[3 + row]["active"].asBool(), row == 9) << row;
    }
    const Json::Value& values = events[21];
    EXPECT_EQ(values["errors"].size(), 0U);
    EXPECT_EQ(static_cast<float>(values["values"]["BattryVlt"].asDouble()), 271.2F);
    EXPECT_EQ(values["values"]["InptVlt1"], records[0]["fields"]["InptVlt1"]);
}

// --decode with units, one record or one field at a time; --load-cache shows
// the cached record's own time stamp beside the new one.
TEST(HalxHostFiles, DecodeFiltersWithUnitsAndCacheShowsBothStamps)
{
    const SimulatedLine ups;
    const std::string history = ups.Dir().File("history.bin");
    const RunResult polled = RunHost({"--port", ups.Path(), "--json", "--interval", "0.2",
                                      "--cycles", "2", "--history", history});
    ASSERT_EQ(polled.status, 0) << polled.err;

    const RunResult one = RunHost({"--decode", history, "--record", "2", "--field", "battryvlt",
                                   "--field", "UpsMnu", "--field", "EstMinRmn"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, "record 2 of 2 (file offset 338)\n"
                       "    4  UpsMnu          text16   \"DELTA\"\n"
                       "  121  EstMinRmn       int32    120 min\n"
                       "  129  BattryVlt       float32  271.2 V\n");
    const RunResult json =
        RunHost({"--decode", history, "--json", "--field", "BattryVlt", "--field", "InptFrq1"});
    ASSERT_EQ(json.status, 0) << json.err;
    const std::vector<Json::Value> decoded = OfKind(JsonEvents(json.out), "decoded");
    ASSERT_EQ(decoded.size(), 2U);
    EXPECT_EQ(decoded[1]["fields"].getMemberNames(),
              (std::vector<std::string>{"BattryVlt", "InptFrq1"}));
    EXPECT_EQ(decoded[1]["units"]["BattryVlt"].asString(), "V");
    EXPECT_EQ(decoded[1]["units"]["InptFrq1"].asString(), "Hz");

    // A record stamped long ago: its own stamp, and the new one LoadFromCache
    // gives it.
    std::string stored;
    {
        std::ifstream in(history, std::ios::binary);
        stored.assign(338, '\0');
        in.read(stored.data(), 338);
    }
    const char old_stamp[7] = {static_cast<char>(0xE4), 0x07, 3, 14, 9, 26, 53}; // 2020-03-14
    stored.replace(331, 7, old_stamp, 7);
    const std::string cache = ups.Dir().Write("old.bin", stored);
    const RunResult loaded = RunHost({"--load-cache", cache});
    ASSERT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_TRUE(std::regex_search(
        loaded.out,
        std::regex(R"(cached   the record's own time stamp: 2020-03-14T09:26:53 \(local time\); )"
                   R"(reported now stamped \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d \(the plug-in stamps)")))
        << loaded.out;
    EXPECT_NE(loaded.out.find(", data age 0 s"), std::string::npos) << loaded.out;
}

TEST(HalxHostFiles, RefusedValuesAreShownWithTheirMessages)
{
    // A plug-in whose device refuses the currents and fails on the battery
    // voltage; the cached record completes a round at once.
    const TempDir dir;
    const std::string cache = dir.Write("cache.bin", std::string(338, '\0'));

    const RunResult json =
        RunHost({"--load-cache", cache, "--json", "--plugin", HALX_HOST_REFUSING_PLUGIN});
    const RunResult text = RunHost({"--load-cache", cache, "--plugin", HALX_HOST_REFUSING_PLUGIN});

    ASSERT_EQ(json.status, 0) << json.err;
    const std::vector<Json::Value> values = OfKind(JsonEvents(json.out), "values");
    ASSERT_EQ(values.size(), 1U);
    const Json::Value& answered = values[0]["values"];
    const Json::Value& errors = values[0]["errors"];
    EXPECT_EQ(answered.size() + errors.size(), 16U);
    EXPECT_EQ(errors["InptCrrent1"].asString(), "不支持变量");
    EXPECT_EQ(errors["OutptCrrent3"].asString(), "不支持变量");
    EXPECT_EQ(errors["BattryVlt"].asString(), "unexpected exception: sensor unreadable");
    EXPECT_EQ(answered["RatInptVlt"].asDouble(), 42.5);
    EXPECT_FALSE(answered.isMember("InptCrrent1"));

    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("refused  InptCrrent2: 不支持变量"), std::string::npos) << text.out;
}
