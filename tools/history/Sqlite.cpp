#include "Sqlite.h"

#include <cstring>
#include <utility>

namespace sitedb
{

void Fail(sqlite3* db, int code)
{
    int extended = code;
    int system_errno = 0;
    std::string message;
    if (db != nullptr) {
        extended = sqlite3_extended_errcode(db);
        message = sqlite3_errmsg(db);
        // Kept only for the failures of the file system: after any other,
        // the last system error is an old one.
        switch (extended & 0xFF) {
        case SQLITE_CANTOPEN:
        case SQLITE_IOERR:
        case SQLITE_FULL:
        case SQLITE_READONLY:
            system_errno = sqlite3_system_errno(db);
            break;
        default:
            break;
        }
    }
    if (message.empty() || message == "not an error") {
        message = sqlite3_errstr(code);
    }
    // The system error says what the file system refused; SQLite's message
    // alone ("unable to open database file", "disk I/O error") does not.
    if (system_errno != 0) {
        message += " (";
        message += std::strerror(system_errno);
        message += ")";
    }
    throw Error(message, extended, system_errno);
}

Statement::Statement(sqlite3* db, const char* sql) : db_(db)
{
    const int rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        Fail(db, rc);
    }
}

Statement::~Statement()
{
    sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), stmt_(std::exchange(other.stmt_, nullptr))
{
}

Statement& Statement::operator=(Statement&& other) noexcept
{
    if (this != &other) {
        sqlite3_finalize(stmt_);
        db_ = std::exchange(other.db_, nullptr);
        stmt_ = std::exchange(other.stmt_, nullptr);
    }
    return *this;
}

Statement& Statement::Bind(int index, std::int64_t value)
{
    const int rc = sqlite3_bind_int64(stmt_, index, static_cast<sqlite3_int64>(value));
    if (rc != SQLITE_OK) {
        Fail(db_, rc);
    }
    return *this;
}

Statement& Statement::Bind(int index, const std::string& text)
{
    const int rc =
        sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    if (rc != SQLITE_OK) {
        Fail(db_, rc);
    }
    return *this;
}

Statement& Statement::BindBlob(int index, const void* data, std::size_t length)
{
    const int rc = sqlite3_bind_blob64(stmt_, index, data, length, SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) {
        Fail(db_, rc);
    }
    return *this;
}

bool Statement::Step()
{
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    // The statement must be reset before its next run; the error stays
    // readable from the connection until then.
    try {
        Fail(db_, rc);
    } catch (...) {
        sqlite3_reset(stmt_);
        throw;
    }
}

void Statement::Reset()
{
    sqlite3_reset(stmt_);
}

std::int64_t Statement::Int(int column) const
{
    return static_cast<std::int64_t>(sqlite3_column_int64(stmt_, column));
}

std::string Statement::Text(int column) const
{
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    if (text == nullptr) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

const unsigned char* Statement::Blob(int column) const
{
    return static_cast<const unsigned char*>(sqlite3_column_blob(stmt_, column));
}

std::size_t Statement::Bytes(int column) const
{
    return static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
}

bool Statement::IsNull(int column) const
{
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

Connection::Connection(const std::string& path, int flags)
{
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        try {
            Fail(db_, rc);
        } catch (...) {
            sqlite3_close(db_);
            db_ = nullptr;
            throw;
        }
    }
    sqlite3_extended_result_codes(db_, 1);
}

Connection::~Connection()
{
    // Every statement is finalized by its owner before the connection goes.
    sqlite3_close(db_);
}

void Connection::Exec(const char* sql)
{
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        Fail(db_, rc);
    }
}

std::int64_t Connection::QueryInt(const char* sql)
{
    Statement statement(db_, sql);
    return statement.Step() ? statement.Int(0) : 0;
}

std::string Connection::QueryText(const char* sql)
{
    Statement statement(db_, sql);
    return statement.Step() ? statement.Text(0) : std::string();
}

} // namespace sitedb
