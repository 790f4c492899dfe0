// Bad input ends halx-host with one clear line on standard error and a
// non-zero exit status.
#include <gtest/gtest.h>

#include "HostTest.h"

namespace
{

struct BadInputCase {
    const char* name;
    std::vector<std::string> args; // "@DIR" is replaced by a scratch directory
    int status;
    std::vector<std::string> message; // parts the line on stderr must hold
};

// A scratch folder with the bad files the cases name.
class Scratch
{
public:
    Scratch()
    {
        dir_.Write("text.so", "not a library\n");
        dir_.Write("broken.json", "{\"appSetting\": ");
        dir_.Write("array.json", "[1, 2]");
        dir_.Write("337.bin", std::string(337, '\0'));
        dir_.Write("339.bin", std::string(339, '\0'));
        dir_.Write("676.bin", std::string(676, '\0'));
    }
    // Every "@DIR" replaced by the scratch folder.
    std::string Expand(std::string text) const
    {
        const std::string& dir = dir_.Path();
        for (std::size_t at = text.find("@DIR"); at != std::string::npos;
             at = text.find("@DIR", at + dir.size())) {
            text.replace(at, 4, dir);
        }
        return text;
    }

private:
    TempDir dir_;
};

void PrintTo(const BadInputCase& c, std::ostream* os)
{
    *os << c.name;
}

class BadInput : public testing::TestWithParam<BadInputCase>
{
};

TEST_P(BadInput, OneLineOnStderrAndNonZeroExit)
{
    const Scratch scratch;
    std::vector<std::string> args;
    for (const std::string& a : GetParam().args) {
        args.push_back(scratch.Expand(a));
    }
    const RunResult r = RunHost(args, std::chrono::seconds(60));
    EXPECT_EQ(r.status, GetParam().status) << r.err;
    const std::vector<std::string> lines = r.ErrLines();
    ASSERT_EQ(lines.size(), 1U) << r.err;
    for (const std::string& part : GetParam().message) {
        EXPECT_NE(lines[0].find(scratch.Expand(part)), std::string::npos)
            << "missing \"" << part << "\" in: " << lines[0];
    }
    EXPECT_TRUE(JsonEvents(r.out).empty()) << r.out;
}

// clang-format off
const BadInputCase kCases[] = {
    {"PluginMissing", {"--json", "--plugin", "@DIR/none.so"}, 1,
     {"cannot load plug-in @DIR/none.so: ", "No such file or directory"}},
    {"PluginNotALibrary", {"--json", "--plugin", "@DIR/text.so"}, 1,
     {"cannot load plug-in @DIR/text.so: ", "@DIR/text.so: "}},
    {"PluginWithoutEntryPoint", {"--json", "--plugin", HALX_HOST_NO_PROVIDERS_LIB}, 1,
     {"has no get_providers: ", "undefined symbol: get_providers"}},
    {"PortMissing", {"--json", "--port", "@DIR/ttyUSB9", "--no-wait-for-port"}, 1,
     {"cannot open port @DIR/ttyUSB9: No such file or directory"}},
    {"PortNotASerialLine", {"--json", "--port", "/dev/null"}, 1,
     {"cannot open port /dev/null: not a serial line"}},
    {"SettingsMissing", {"--json", "--settings", "@DIR/none.json"}, 1,
     {"cannot read settings file @DIR/none.json: No such file or directory"}},
    {"SettingsNotJson", {"--json", "--settings", "@DIR/broken.json"}, 1,
     {"settings file @DIR/broken.json is not valid JSON: Line 1"}},
    {"SettingsNotAnObject", {"--json", "--settings", "@DIR/array.json"}, 1,
     {"settings file @DIR/array.json must hold a JSON object"}},
    {"CacheTooShort", {"--json", "--load-cache", "@DIR/337.bin"}, 1,
     {"cache file @DIR/337.bin is 337 bytes; a cached record is exactly 338 bytes"}},
    {"CacheTooLong", {"--json", "--load-cache", "@DIR/339.bin"}, 1,
     {"is 339 bytes; a cached record is exactly 338 bytes"}},
    {"CacheMissing", {"--json", "--load-cache", "@DIR/none.bin"}, 1,
     {"cannot read cache file @DIR/none.bin"}},
    {"DecodePartialRecord", {"--json", "--decode", "@DIR/339.bin"}, 1,
     {"record file @DIR/339.bin is 339 bytes, not a whole number of 338-byte records"}},
    {"HistoryUnwritable", {"--json", "--history", "@DIR/no/such/dir/h.bin"}, 1,
     {"cannot open history file"}},
    {"TraceUnwritable", {"--json", "--port", "/dev/null", "--trace", "@DIR/no/dir/t.log"}, 1,
     {"cannot open trace file"}},
    {"DataIdNegative", {"--data-id", "-1"}, 2, {"--data-id -1: expected a whole number"}},
    {"DataIdTooLarge", {"--data-id", "4294967296"}, 2, {"from 0 to 4294967295"}},
    {"IntervalZero", {"--interval", "0"}, 2, {"--interval 0: expected seconds"}},
    {"IntervalNotANumber", {"--interval", "5s"}, 2, {"--interval 5s"}},
    {"CyclesZero", {"--cycles", "0"}, 2, {"--cycles 0"}},
    {"UnknownOption", {"--speed", "9600"}, 2, {"unrecognised option '--speed'"}},
    {"PortAndSim", {"--port", "/dev/ttyS0", "--sim"}, 2, {"--port and --sim exclude each other"}},
    // A port named without --port is never taken for the simulator.
    {"PortWithoutOption", {"/dev/ttyUSB0"}, 2,
     {"halx-host: unexpected argument '/dev/ttyUSB0' (to poll that port: --port /dev/ttyUSB0)"}},
    {"StrayArgument", {"--json", "extra"}, 2, {"unexpected argument 'extra'"}},
    // Options that do not apply to the mode chosen.
    {"DecodeWithPort", {"--decode", "@DIR/339.bin", "--port", "/dev/ttyS0"}, 2,
     {"--port and --decode exclude each other"}},
    {"DecodeWithPlugin", {"--decode", "@DIR/339.bin", "--plugin", "x.so"}, 2,
     {"--plugin does not apply to --decode"}},
    {"SimOptionWithPort", {"--port", "/dev/ttyS0", "--sim-noise", "5"}, 2,
     {"--sim-noise does not apply to --port"}},
    {"PortOptionWithSim", {"--sim", "--lock-dir", "/tmp"}, 2,
     {"--lock-dir does not apply to the simulated UPS (--sim)"}},
    {"PollOptionWithCache", {"--load-cache", "@DIR/337.bin", "--cycles", "2"}, 2,
     {"--cycles does not apply to --load-cache"}},
    {"DecodeOptionWhenPolling", {"--field", "BattryVlt"}, 2,
     {"--field does not apply to the simulated UPS (--sim)"}},
    {"DecodeUnknownField", {"--decode", "@DIR/339.bin", "--field", "Battery"}, 2,
     {"--field Battery: not a field of the record"}},
    {"DecodeRecordBeyondTheFile", {"--decode", "@DIR/676.bin", "--record", "3"}, 1,
     {"record file @DIR/676.bin holds 2 records, not 3"}},
    {"WaitAndNoWait", {"--port", "/dev/ttyS0", "--wait-for-port", "--no-wait-for-port"}, 2,
     {"--wait-for-port and --no-wait-for-port exclude each other"}},
    {"TimeoutZero", {"--timeout", "0"}, 2, {"--timeout 0: expected seconds"}},
    // The simulated UPS's values are checked with the command line.
    {"SimValueUnknownField", {"--sim-value", "Battery=1"}, 2,
     {"--sim-value Battery=1: unknown field \"Battery\""}},
    {"SimValueTwoDecimals", {"--sim-value", "BattryVlt=265.05"}, 2,
     {"--sim-value BattryVlt=265.05: bad value \"265.05\" for BattryVlt"}},
    {"SimValueWithoutValue", {"--sim-value", "BattryVlt"}, 2,
     {"--sim-value BattryVlt: expected NAME=VALUE"}},
    // No option is guessed from its first letters.
    {"AbbreviatedOption", {"--inter", "1"}, 2, {"unrecognised option '--inter'"}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(HalxHost, BadInput, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<BadInputCase>& param) {
                             return std::string(param.param.name);
                         });

} // namespace
