// Reading the stored rounds back: from the site database, or from an old
// flat history file (records of 338 bytes end to end, as halx-host's
// --history wrote them before the database), through one interface.
//
// A flat file holds the records alone: no UPS name and no time of the
// round (the record's own stamp, local time without a zone, is all there
// is).  Its entries have an empty UPS name, no time, the data identifier
// of the record's DataId field and their place in the file (from 1) as
// sequence; selecting by UPS or time is refused for it.
//
// Reading a database takes one read transaction: it sees the rounds
// committed when it began, never a half-written one, and never holds up the
// writer (write-ahead log).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "site/UpsSnapshot.h"

namespace history
{

// Why a history cannot be read: one line naming the file.
class ReadError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

enum class Order { OldestFirst, NewestFirst };

struct Filter {
    std::string ups;                                            // empty: every UPS
    std::optional<std::chrono::system_clock::time_point> since; // rounds at or after
    std::optional<std::chrono::system_clock::time_point> until; // rounds before
    Order order = Order::OldestFirst;
    std::size_t limit = 0; // 0: all
};

struct Entry {
    std::string ups; // empty for a flat file
    std::uint32_t data_id = 0;
    std::uint64_t sequence = 0;
    std::optional<std::chrono::system_clock::time_point> time; // none for a flat file
    std::array<std::uint8_t, site::kRecordBytes> record{};
};

enum class SourceKind { Database, FlatFile };

class HistorySource
{
public:
    virtual ~HistorySource() = default;
    virtual SourceKind kind() const = 0;
    virtual const std::string& path() const = 0;
    // Calls `each` for every entry the filter selects, in its order, until
    // `each` returns false; returns how many it was called for.  Throws
    // ReadError.
    virtual std::size_t Read(const Filter& filter,
                             const std::function<bool(const Entry&)>& each) = 0;
    // The UPS names stored, sorted; none for a flat file.
    virtual std::vector<std::string> UpsNames() = 0;
    // Something people should know about the file that does not stop the
    // reading (a flat file's partial last record); empty if none.
    virtual std::string Warning() const { return {}; }
};

// Opens a history file of either kind, told apart by SQLite's header.
// Throws ReadError.
std::unique_ptr<HistorySource> OpenHistory(const std::string& path);

// Every entry the filter selects, in order.
std::vector<Entry> ReadAll(HistorySource& source, const Filter& filter = {});

} // namespace history
