// A thin layer over SQLite's C interface: a connection and prepared
// statements that close themselves, and failures as exceptions that keep
// SQLite's result code and the system error behind it.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace sitedb
{

// A failed SQLite call.  what() is SQLite's message, with the system error
// when there is one ("unable to open database file (No such file or
// directory)").
class Error : public std::runtime_error
{
public:
    Error(const std::string& message, int code, int system_errno)
        : std::runtime_error(message), code_(code), system_errno_(system_errno)
    {
    }
    // The extended result code (SQLITE_READONLY_DBMOVED, SQLITE_IOERR_WRITE...).
    int code() const { return code_; }
    // The primary result code (SQLITE_FULL, SQLITE_READONLY, SQLITE_CANTOPEN...).
    int primary() const { return code_ & 0xFF; }
    // errno of the system call that failed, or 0.
    int system_errno() const { return system_errno_; }

private:
    int code_;
    int system_errno_;
};

// Throws Error for the connection's last failure.
[[noreturn]] void Fail(sqlite3* db, int code);

class Statement
{
public:
    Statement(sqlite3* db, const char* sql);
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Parameters count from 1.
    Statement& Bind(int index, std::int64_t value);
    Statement& Bind(int index, const std::string& text);
    Statement& BindBlob(int index, const void* data, std::size_t length);

    // Runs the statement to its next row: true with a row to read, false
    // when it is done.
    bool Step();
    // Ready to run again, the parameters kept.
    void Reset();

    // Columns count from 0.
    std::int64_t Int(int column) const;
    std::string Text(int column) const;
    const unsigned char* Blob(int column) const;
    std::size_t Bytes(int column) const;
    bool IsNull(int column) const;

private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
};

class Connection
{
public:
    // sqlite3_open_v2 with these flags; throws Error (and closes what it
    // opened) when the file cannot be opened.
    Connection(const std::string& path, int flags);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* handle() const { return db_; }
    // Runs one or more statements that return no rows.
    void Exec(const char* sql);
    // The first column of the first row of a one-row query (a PRAGMA).
    std::int64_t QueryInt(const char* sql);
    std::string QueryText(const char* sql);

private:
    sqlite3* db_ = nullptr;
};

} // namespace sitedb
