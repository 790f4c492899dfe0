// The real Prometheus server (Debian's prometheus) scraping the listener
// every second, started here on free ports with its data in a temporary
// folder and stopped at the end: what its query API answers for a value and
// an alarm gauge is what the record behind them holds, before and after the
// record changes; a stale UPS has its age there and no values.  And the
// scraped text passes `promtool check metrics`.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <json/reader.h>
#include <json/value.h>

#include "Catalogue.h"
#include "Clients.h"
#include "ServedSite.h"

namespace
{

using namespace metrics_test;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

float FloatField(const std::array<std::uint8_t, site::kRecordBytes>& record, const char* name)
{
    return static_cast<float>(
        catalogue::NumberAt(record.data(), *catalogue::FindRecordField(name)));
}

class RealPrometheus : public Served
{
protected:
    void SetUp() override
    {
        Record record = ThreePhaseUps();
        record.Byte("FanFault", 1).Byte("TmpFault", 255);
        site_ = {FreshUps("ups1", record),
                 FreshUps("ups2", ThreePhaseUps(), seconds(120), seconds(60))};
        site_[1].line = site::LineState::Silent;
    }

    void TearDown() override
    {
        if (prometheus_) {
            const int status = prometheus_->Stop();
            EXPECT_EQ(status, 0) << "prometheus did not stop cleanly:\n" << Log();
            prometheus_.reset();
        }
        Served::TearDown();
    }

    // Starts Prometheus scraping the listener every second; false (with a
    // test failure) when it does not come up.
    bool StartPrometheus()
    {
        const std::string binary = FindProgram("prometheus");
        if (binary.empty()) {
            ADD_FAILURE() << "prometheus not found (Debian's prometheus package; "
                             "scripts/install-deps.sh installs it)";
            return false;
        }
        job_ = "halx_metrics_test_" + std::to_string(::getpid());
        std::ofstream(dir_.path() + "/prometheus.yml") << "global:\n"
                                                          "  scrape_interval: 1s\n"
                                                          "  scrape_timeout: 1s\n"
                                                          "scrape_configs:\n"
                                                          "  - job_name: "
                                                       << job_
                                                       << "\n"
                                                          "    static_configs:\n"
                                                          "      - targets: ['127.0.0.1:"
                                                       << port_ << "']\n";
        web_port_ = FreePort();
        prometheus_ = std::make_unique<Daemon>(
            std::vector<std::string>{binary, "--config.file=" + dir_.path() + "/prometheus.yml",
                                     "--storage.tsdb.path=" + dir_.path() + "/data",
                                     "--web.listen-address=127.0.0.1:" + std::to_string(web_port_),
                                     "--log.level=info"},
            dir_.path() + "/prometheus.log");
        const auto deadline = steady_clock::now() + seconds(60);
        while (steady_clock::now() < deadline && prometheus_->Running()) {
            try {
                if (Http(web_port_, "GET", "/-/ready").status == 200) {
                    return true;
                }
            } catch (const std::exception&) {
                // Not listening yet.
            }
            std::this_thread::sleep_for(milliseconds(100));
        }
        ADD_FAILURE() << "prometheus did not become ready:\n" << Log();
        return false;
    }

    // GET of the API; the "data" member of its JSON answer.
    Json::Value Api(const std::string& target)
    {
        const HttpReply reply = Http(web_port_, "GET", target);
        Json::Value root;
        std::string errors;
        const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        EXPECT_EQ(reply.status, 200) << target << ": " << reply.body;
        EXPECT_TRUE(
            reader->parse(reply.body.data(), reply.body.data() + reply.body.size(), &root, &errors))
            << errors;
        EXPECT_EQ(root["status"].asString(), "success") << reply.body;
        return root["data"];
    }

    // The result vector of an instant query.
    Json::Value Query(const std::string& promql)
    {
        return Api("/api/v1/query?query=" + UrlEncode(promql))["result"];
    }

    // Waits until the query has exactly one series whose value is `want`
    // (any value for ""); that series, or null after 30 s.
    Json::Value WaitFor(const std::string& promql, const std::string& want = "")
    {
        const auto deadline = steady_clock::now() + seconds(30);
        Json::Value last;
        while (steady_clock::now() < deadline) {
            last = Query(promql);
            if (last.size() == 1 && (want.empty() || last[0]["value"][1].asString() == want)) {
                return last[0];
            }
            std::this_thread::sleep_for(milliseconds(200));
        }
        ADD_FAILURE() << promql << " never gave " << (want.empty() ? "a value" : want)
                      << "; last: " << last.toStyledString();
        return Json::Value();
    }

    std::string Log() const
    {
        std::ifstream in(dir_.path() + "/prometheus.log");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    TempDir dir_;
    std::unique_ptr<Daemon> prometheus_;
    std::string job_;
    std::uint16_t web_port_ = 0;
};

TEST_F(RealPrometheus, QueriesGiveTheRecordsValuesAndAlarms)
{
    Serve();
    ASSERT_TRUE(StartPrometheus());

    // The series come from our listener, scraped by this instance.
    const Json::Value up = WaitFor("up{job=\"" + job_ + "\"}", "1");
    EXPECT_EQ(up["metric"]["instance"].asString(), "127.0.0.1:" + std::to_string(port_));
    const Json::Value targets = Api("/api/v1/targets")["activeTargets"];
    ASSERT_EQ(targets.size(), 1U);
    EXPECT_EQ(targets[0]["scrapeUrl"].asString(),
              "http://127.0.0.1:" + std::to_string(port_) + "/metrics");
    EXPECT_EQ(targets[0]["health"].asString(), "up");
    EXPECT_EQ(targets[0]["lastError"].asString(), "");

    const auto& record = site_[0].last->record;
    const Json::Value voltage = WaitFor("ups_battery_voltage_volts{ups=\"ups1\"}");
    EXPECT_EQ(static_cast<float>(std::stod(voltage["value"][1].asString())),
              FloatField(record, "BattryVlt"));
    const Json::Value line3 = WaitFor("ups_output_voltage_volts{ups=\"ups1\",line=\"3\"}");
    EXPECT_EQ(static_cast<float>(std::stod(line3["value"][1].asString())),
              FloatField(record, "OutptVlt3"));
    EXPECT_DOUBLE_EQ(
        std::stod(WaitFor("ups_battery_charge_ratio{ups=\"ups1\"}")["value"][1].asString()),
        catalogue::NumberAt(record.data(), *catalogue::FindRecordField("EstChrgRmn")) * 0.01);

    const Json::Value fan = WaitFor("ups_alarm{ups=\"ups1\",key=\"deltaNHNT_9\"}", "1");
    EXPECT_EQ(fan["metric"]["alarm_id"].asString(), "2A1431C01");
    EXPECT_EQ(fan["metric"]["alarm"].asString(), "fan fault");
    WaitFor("ups_alarm{ups=\"ups1\",key=\"deltaNHNT_1\"}", "0");
    EXPECT_EQ(Query("ups_alarm{ups=\"ups1\",key=\"deltaNHNT_0\"}").size(), 0U)
        << "a flag the UPS does not report has no series";
    EXPECT_EQ(Query("count(ups_alarm{ups=\"ups1\"})")[0]["value"][1].asString(), "14");

    // The stale UPS: its age and link, no values.
    WaitFor("ups_data_stale{ups=\"ups2\"}", "1");
    EXPECT_GE(std::stod(WaitFor("ups_data_age_seconds{ups=\"ups2\"}")["value"][1].asString()),
              120.0);
    WaitFor("ups_link_state{ups=\"ups2\",state=\"silent\"}", "1");
    EXPECT_EQ(Query("ups_battery_voltage_volts{ups=\"ups2\"}").size(), 0U);
    EXPECT_EQ(Query("ups_alarm{ups=\"ups2\"}").size(), 0U);

    // A new round: the next scrapes carry its values.
    OnLoop([this] {
        Record next = ThreePhaseUps();
        next.Set("BattryVlt", 262.5).Byte("FanFault", 0).Byte("TmpFault", 255);
        site_[0].last->record = next.bytes();
        site_[0].last->steady = steady_clock::now();
        ++site_[0].last->sequence;
        ++site_[0].counters.completed;
    });
    WaitFor("ups_battery_voltage_volts{ups=\"ups1\"}", "262.5");
    WaitFor("ups_alarm{ups=\"ups1\",key=\"deltaNHNT_9\"}", "0");
    WaitFor("ups_link_cycles_completed_total{ups=\"ups1\"}", "8");
}

TEST_F(RealPrometheus, PromtoolAcceptsWhatIsScraped)
{
    Serve();
    const std::string promtool = FindProgram("promtool");
    ASSERT_FALSE(promtool.empty()) << "promtool not found (Debian's prometheus package; "
                                      "scripts/install-deps.sh installs it)";
    const HttpReply scraped = Http(port_, "GET", "/metrics");
    ASSERT_EQ(scraped.status, 200);
    const ProgramResult result = RunProgram({promtool, "check", "metrics"}, scraped.body);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "");
}

} // namespace
