// The outbox in a site database that already holds a history: a file of
// schema version 1 (a site monitor from before the MQTT output) is brought
// to version 2 with its rounds kept, and the outbox goes on across
// openings, its bound counted from what the file holds.
#include <gtest/gtest.h>

#include "HistoryReader.h"
#include "HistoryWriter.h"
#include "Outbox.h"
#include "SiteDatabase.h"
#include "SyntheticRounds.h"
#include "support/TempDir.h"

namespace
{

mqtt::OutboxEntry Entry(std::uint64_t sequence)
{
    mqtt::OutboxEntry e;
    e.topic = "ups/t1/ups1/round";
    e.payload = "{\"sequence\":" + std::to_string(sequence) + "}";
    e.ups = "ups1";
    e.sequence = sequence;
    return e;
}

TEST(OutboxFile, VersionOneHistoryIsMigratedAndKept)
{
    TempDir dir;
    const std::string path = dir.File("site.db");
    const sitedb::Schema v1(sitedb::SiteSchema().begin(), sitedb::SiteSchema().begin() + 1);
    {
        sitedb::SiteDatabase db(path, {}, v1);
        ASSERT_EQ(db.version(), 1);
        db.connection().Exec("INSERT INTO ups (id, name) VALUES (1, 'ups1')");
        sitedb::Statement insert(db.handle(), "INSERT INTO round (ups_id, sequence, time_ms, "
                                              "data_id, record) VALUES (1, ?, 0, 5035, ?)");
        for (std::uint64_t s = 1; s <= 3; ++s) {
            const auto record = history::SyntheticRecord("ups1", s, 5035);
            insert.Reset();
            insert.Bind(1, static_cast<std::int64_t>(s)).BindBlob(2, record.data(), record.size());
            insert.Step();
        }
    }
    {
        mqtt::Outbox outbox(path, 3);
        EXPECT_EQ(outbox.Depth(), 0U);
        for (std::uint64_t s = 1; s <= 5; ++s) {
            mqtt::OutboxEntry e = Entry(s);
            outbox.Add(e);
        }
        EXPECT_EQ(outbox.Depth(), 3U);
        EXPECT_EQ(outbox.Dropped(), 2U);
    }
    sitedb::SiteDatabase db(path);
    EXPECT_EQ(db.version(), 2);
    EXPECT_EQ(db.connection().QueryInt("SELECT count(*) FROM round"), 3) << "the history kept";

    mqtt::Outbox again(path, 3);
    EXPECT_EQ(again.Depth(), 3U) << "the depth read from the file";
    const auto entries = again.After(0, 10);
    ASSERT_EQ(entries.size(), 3U);
    EXPECT_EQ(entries[0].sequence, 3U) << "the oldest were dropped";
    EXPECT_EQ(entries[2].payload, "{\"sequence\":5}");
    again.Remove({entries[0].id, entries[1].id});
    EXPECT_EQ(again.Depth(), 1U);
    mqtt::OutboxEntry next = Entry(6);
    again.Add(next);
    EXPECT_GT(next.id, entries[2].id) << "ids keep growing: delivery order";
    EXPECT_EQ(again.Dropped(), 0U);
}

} // namespace
