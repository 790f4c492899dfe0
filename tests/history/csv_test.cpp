// CSV as a consumer reads it: the files are parsed by Python's csv module
// in strict mode (a real RFC 4180 reader), not by the code that wrote them.
// Quoting of names and texts, the header's units, every field type at its
// edges, times in UTC and in a local zone, the export through history-tool.
#include <gtest/gtest.h>

#include <json/reader.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "HistoryCsv.h"
#include "HistoryWriter.h"
#include "Support.h"
#include "SyntheticRounds.h"
#include "TimeText.h"
#include "record/RecordFields.h"

namespace
{

using namespace history;
using std::chrono::milliseconds;
using std::chrono::seconds;

const Clock::time_point kT0 = Clock::time_point(seconds(1796785200)); // 2026-12-09T03:00:00Z

using Table = std::vector<std::vector<std::string>>;

// The CSV file as Python's csv module reads it.
Table ParseCsv(const std::string& path)
{
    const std::string json =
        ShellOutput("python3 -c 'import csv, json, sys\n"
                    "with open(sys.argv[1], newline=\"\", encoding=\"utf-8\") as f:\n"
                    "    json.dump(list(csv.reader(f, strict=True)), sys.stdout)' " +
                    Quote(path));
    Json::Value rows;
    std::string errors;
    Json::CharReaderBuilder builder;
    std::istringstream in(json);
    Table table;
    if (!Json::parseFromStream(builder, in, &rows, &errors) || !rows.isArray()) {
        ADD_FAILURE() << "python's csv did not read " << path << ": " << json;
        return table;
    }
    for (const Json::Value& row : rows) {
        std::vector<std::string> cells;
        for (const Json::Value& cell : row) {
            cells.push_back(cell.asString());
        }
        table.push_back(cells);
    }
    return table;
}

std::size_t Column(const Table& table, const std::string& name)
{
    for (std::size_t i = 0; i < table.at(0).size(); ++i) {
        if (table[0][i] == name) {
            return i;
        }
    }
    ADD_FAILURE() << "no column " << name;
    return 0;
}

const RecordField& Field(const char* name)
{
    for (const RecordField& f : kRecordFields) {
        if (std::strcmp(f.name, name) == 0) {
            return f;
        }
    }
    throw std::runtime_error(name);
}

void Put(Entry& e, const char* field, const void* bytes, std::size_t n)
{
    std::memcpy(e.record.data() + Field(field).offset, bytes, n);
}
template <class T> void Put(Entry& e, const char* field, T value)
{
    Put(e, field, &value, sizeof value);
}

// A record with every kind of field at an edge.
Entry Edges()
{
    Entry e;
    e.ups = "hall, \"west\"\nrow 2";
    e.sequence = 18446744073709551615ULL;
    e.data_id = 4294967295U;
    e.time = kT0 + milliseconds(123);
    Put(e, "DataId", std::uint32_t{4294967295U});
    Put(e, "UpsMnu", "Ac\"me, Inc", 10);
    const char mod[] = {'\x01', '\\', 'x', '\xC3', '\xA9'};
    Put(e, "UpsMod", mod, sizeof mod);
    Put(e, "UpsVer", "0123456789ABCDEF", 16); // all 16 bytes, no zero
    Put(e, "RatInptVlt", std::int32_t{-2147483647 - 1});
    Put(e, "InptVlt1", 230.1F);
    Put(e, "BattryCrrent", -0.5F);
    Put(e, "OutptFrq", 1e-7F);
    Put(e, "OutptSrc", std::uint8_t{0xFF});
    Put(e, "InptFail", std::uint8_t{0x7F});
    Put(e, "Reserved145", std::uint8_t{0xAB});
    const unsigned char stamp[7] = {0xEA, 0x07, 12, 9, 4, 11, 19};
    Put(e, "RoundTime", stamp, sizeof stamp);
    return e;
}

TEST(Csv, HeaderNamesEveryRecordFieldWithItsUnit)
{
    ScratchDir dir;
    std::ostringstream out;
    CsvWriter(out).Header();
    WriteFile(dir / "h.csv", out.str());
    const Table table = ParseCsv(dir / "h.csv");
    ASSERT_EQ(table.size(), 1U);
    const std::vector<std::string>& header = table[0];
    ASSERT_EQ(header.size(), 4 + sizeof kRecordFields / sizeof kRecordFields[0]);
    EXPECT_EQ(std::vector<std::string>(header.begin(), header.begin() + 5),
              (std::vector<std::string>{"ups", "sequence", "time", "data_id", "DataId"}));
    for (const char* name :
         {"UpsMnu", "InptVlt1 [V]", "InptFrq1 [Hz]", "BattryTmp [°C]", "EstMinRmn [min]",
          "OutptLd1 [%]", "OutptPwr1 [W]", "BattryCrrent [A]", "RoundTime [local]", "OutptSrc"}) {
        EXPECT_NE(std::find(header.begin(), header.end(), name), header.end()) << name;
    }
    EXPECT_EQ(out.str().substr(out.str().size() - 2), "\r\n");
}

TEST(Csv, EveryFieldKindAtItsEdgesReadsBack)
{
    ScratchDir dir;
    std::ostringstream out;
    CsvWriter csv(out);
    csv.Header();
    csv.Row(Edges());
    WriteFile(dir / "e.csv", out.str());
    const Table table = ParseCsv(dir / "e.csv");
    ASSERT_EQ(table.size(), 2U);
    const std::vector<std::string>& row = table[1];
    ASSERT_EQ(row.size(), table[0].size());
    const std::vector<std::pair<const char*, const char*>> cells = {
        {"ups", "hall, \"west\"\nrow 2"},
        {"sequence", "18446744073709551615"},
        {"time", "2026-12-09T03:00:00.123Z"},
        {"data_id", "4294967295"},
        {"DataId", "4294967295"},
        {"UpsMnu", "Ac\"me, Inc"},
        {"UpsMod", "\\x01\\x5cx\\xc3\\xa9"},
        {"UpsVer", "0123456789ABCDEF"},
        {"RatInptVlt [V]", "-2147483648"},
        {"InptVlt1 [V]", "230.1"},
        {"BattryCrrent [A]", "-0.5"},
        {"OutptFrq [Hz]", "1e-07"},
        {"OutptSrc", "-1"},
        {"InptFail", "127"},
        {"InptVlt2 [V]", "0"},
        {"Reserved145", "ab"},
        {"RoundTime [local]", "2026-12-09T04:11:19"},
    };
    for (const auto& [column, value] : cells) {
        EXPECT_EQ(row[Column(table, column)], value) << column;
    }
}

TEST(Csv, FlatFileRowsHaveNoNameAndNoTime)
{
    ScratchDir dir;
    Entry e = Edges();
    e.ups.clear();
    e.time.reset();
    std::memset(e.record.data() + Field("RoundTime").offset, 0, 7);
    std::ostringstream out;
    CsvWriter csv(out);
    csv.Header();
    csv.Row(e);
    WriteFile(dir / "f.csv", out.str());
    const Table table = ParseCsv(dir / "f.csv");
    ASSERT_EQ(table.size(), 2U);
    EXPECT_EQ(table[1][Column(table, "ups")], "");
    EXPECT_EQ(table[1][Column(table, "time")], "");
    EXPECT_EQ(table[1][Column(table, "RoundTime [local]")], "");
}

TEST(Csv, LocalZoneTimesCarryTheirOffset)
{
    ScratchDir dir;
    setenv("TZ", "IST-5:30", 1);
    tzset();
    std::ostringstream out;
    CsvOptions local;
    local.local_zone = true;
    CsvWriter csv(out, local);
    csv.Header();
    csv.Row(Edges());
    unsetenv("TZ");
    tzset();
    WriteFile(dir / "l.csv", out.str());
    const Table table = ParseCsv(dir / "l.csv");
    ASSERT_EQ(table.size(), 2U);
    EXPECT_EQ(table[1][Column(table, "time")], "2026-12-09T08:30:00.123+05:30");
}

struct QuoteRow {
    const char* name;
    const char* text;
    const char* field;
};

void PrintTo(const QuoteRow& row, std::ostream* os)
{
    *os << row.name;
}

class QuoteTest : public ::testing::TestWithParam<QuoteRow>
{
};

TEST_P(QuoteTest, QuotedOnlyWhenItMustBe)
{
    EXPECT_EQ(CsvField(GetParam().text), GetParam().field);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, QuoteTest,
    ::testing::Values(QuoteRow{"Plain", "ups1", "ups1"}, QuoteRow{"Empty", "", ""},
                      QuoteRow{"Spaces", " a b ", " a b "}, QuoteRow{"Comma", "a,b", "\"a,b\""},
                      QuoteRow{"Quote", "a\"b", "\"a\"\"b\""},
                      QuoteRow{"OnlyQuotes", "\"\"", "\"\"\"\"\"\""},
                      QuoteRow{"LineFeed", "a\nb", "\"a\nb\""},
                      QuoteRow{"CarriageReturn", "a\rb", "\"a\rb\""},
                      QuoteRow{"Semicolon", "a;b", "a;b"}),
    [](const ::testing::TestParamInfo<QuoteRow>& row) { return std::string(row.param.name); });

TEST(Csv, ExportThroughTheToolReadsBackRoundForRound)
{
    ScratchDir dir;
    const std::string db = dir / "site.db";
    const std::vector<std::string> names = {"ups1", "hall, \"west\"", "ü-ups"};
    {
        HistoryWriter writer(db);
        for (std::uint64_t seq = 1; seq <= 3; ++seq) {
            for (std::size_t u = 0; u < names.size(); ++u) {
                const auto t = kT0 + seconds(static_cast<long>(seq * 10 + u));
                ASSERT_TRUE(writer.Append(
                    names[u], 5035, MakeRound(names[u], seq, t, std::chrono::steady_clock::now())));
            }
        }
    }
    const RunResult result = RunTool({"read", db, "--csv", "--newest", "--limit", "4"});
    ASSERT_EQ(result.status, 0) << result.err;
    WriteFile(dir / "out.csv", result.out);
    const Table table = ParseCsv(dir / "out.csv");
    ASSERT_EQ(table.size(), 5U);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"ü-ups", "3"}, {"hall, \"west\"", "3"}, {"ups1", "3"}, {"ü-ups", "2"}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(table[i + 1][0], expected[i].first);
        EXPECT_EQ(table[i + 1][1], expected[i].second);
        EXPECT_EQ(table[i + 1].size(), table[0].size());
    }
    EXPECT_EQ(table[1][2], "2026-12-09T03:00:32.000Z");
}

} // namespace
