// The stored rounds as CSV (RFC 4180: fields quoted when they hold a comma,
// a quote or a line break, quotes doubled, lines ended with CR LF), one
// header line, then one line per round.
//
// Columns: ups, sequence, time (the host's time of the round, RFC 3339
// with its zone), data_id, then every field of the record in record order,
// named as in the record with the catalogue's unit in brackets
// ("InptVlt1 [V]").  Numbers as stored (floats in their shortest exact
// form), texts up to their first zero byte with bytes outside printable
// ASCII and the backslash written \xNN, the record's stamp as its local
// time without a zone, reserved bytes in hex.
#pragma once

#include <ostream>
#include <string>

#include "HistoryReader.h"

namespace history
{

struct CsvOptions {
    // Times in the local zone with its offset instead of UTC.
    bool local_zone = false;
};

class CsvWriter
{
public:
    explicit CsvWriter(std::ostream& out, CsvOptions options = {});
    void Header();
    void Row(const Entry& entry);

private:
    std::ostream& out_;
    CsvOptions options_;
    std::string line_;
};

// One field, quoted if it must be.
std::string CsvField(const std::string& text);

} // namespace history
