// The site database's schema, one migration per version.  A migration is
// never changed once released: a new version adds a step at the end.  The
// tables are described in docs/HISTORY.md.
#include "SiteDatabase.h"

namespace sitedb
{

const Schema& SiteSchema()
{
    static const Schema schema = {
        {1, "history: the UPSes and every round's record",
         // One row per UPS name ever stored; rounds refer to it by id.
         "CREATE TABLE ups ("
         "  id   INTEGER PRIMARY KEY,"
         "  name TEXT NOT NULL UNIQUE"
         ");"
         // One row per completed round: the record as the device stored
         // it, the host's time of the round (UTC milliseconds since
         // 1970-01-01) and the round's per-UPS sequence.
         "CREATE TABLE round ("
         "  ups_id   INTEGER NOT NULL REFERENCES ups(id),"
         "  sequence INTEGER NOT NULL CHECK (sequence > 0),"
         "  time_ms  INTEGER NOT NULL,"
         "  data_id  INTEGER NOT NULL,"
         "  record   BLOB NOT NULL CHECK (length(record) = 338),"
         "  UNIQUE (ups_id, sequence)"
         ");"
         // In the reader's order (time, then UPS and sequence for rounds of
         // the same millisecond), so that no read sorts: the newest rounds
         // of a file of millions come at once.
         "CREATE INDEX round_by_ups_time ON round (ups_id, time_ms, sequence);"
         "CREATE INDEX round_by_time ON round (time_ms, ups_id, sequence);"
         // The rounds with their UPS's name and the time as text, for
         // people at the sqlite3 prompt.
         "CREATE VIEW history AS"
         "  SELECT u.name AS ups, r.sequence, r.time_ms,"
         "         strftime('%Y-%m-%dT%H:%M:%fZ', r.time_ms / 1000.0, 'unixepoch') AS time,"
         "         r.data_id, r.record"
         "  FROM round AS r JOIN ups AS u ON u.id = r.ups_id;"},
        {2, "mqtt: the outbox of messages not yet acknowledged by the broker",
         // One row per message to deliver, in the order they are to go out
         // (id, never reused: AUTOINCREMENT); deleted once the broker has
         // acknowledged it.  ups and sequence say which round it belongs
         // to; created is UTC milliseconds since 1970-01-01.
         "CREATE TABLE mqtt_outbox ("
         "  id       INTEGER PRIMARY KEY AUTOINCREMENT,"
         "  topic    TEXT NOT NULL,"
         "  payload  BLOB NOT NULL,"
         "  qos      INTEGER NOT NULL CHECK (qos BETWEEN 0 AND 2),"
         "  retain   INTEGER NOT NULL CHECK (retain IN (0, 1)),"
         "  ups      TEXT NOT NULL,"
         "  sequence INTEGER NOT NULL,"
         "  created  INTEGER NOT NULL"
         ");"},
    };
    return schema;
}

} // namespace sitedb
