// The read-only server of the UPS network protocol (upsd's protocol, TCP
// port 3493) as decisions without I/O: a Session takes the bytes one client
// sends and the time, and says what goes back and whether the connection
// ends.  The Hub is what all sessions share: the UPSes, the users, who is
// logged in to which UPS and the forced-shutdown marks.
//
// Values come from each UPS's snapshot at the moment of the request, from
// its last completed round only; a round older than the UPS's staleness
// limit (or none at all) is DATA-STALE, except for the round's own age,
// time and line state.  docs/NUT.md describes the commands and the choices.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "site/UpsSnapshot.h"

namespace nut
{

using SteadyTime = std::chrono::steady_clock::time_point;

// Where the server reads the UPSes from, at request time.  The pollers keep
// the snapshots; the server never changes them.
class SnapshotSource
{
public:
    virtual ~SnapshotSource() = default;
    // The UPS names, in configured order.
    virtual std::vector<std::string> Names() const = 0;
    // The current snapshot of one UPS, or nullptr when no UPS has this name.
    // Read at once: valid until the caller returns to the event loop.
    virtual const site::UpsSnapshot* Find(std::string_view name) const = 0;
};

// The role a user may take, as upsd.users' "upsmon primary|secondary".
// A primary may do all a secondary may, and set a UPS's forced shutdown.
enum class Role { Secondary, Primary };

struct User {
    std::string name;
    std::string password;
    Role role = Role::Secondary;
};

// One line for people, without its end (the sink adds it).
using LogSink = std::function<void(const std::string&)>;

inline constexpr std::size_t kMaxLine = 1024;          // request bytes, not counting the line end
inline constexpr const char* kProtocolVersion = "1.3"; // NETVER

class Session;

class Hub
{
public:
    // `version` answers VER.  `log` gets the lines worth a person's attention
    // (logins, refused logins, forced shutdowns); no line per request.
    Hub(const SnapshotSource& ups, std::vector<User> users, std::string version, LogSink log);
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    const SnapshotSource& Ups() const { return ups_; }
    // Sessions logged in to this UPS (GET NUMLOGINS).
    std::size_t Logins(std::string_view ups) const;
    // True while a primary's FSD holds for this UPS.
    bool ForcedShutdown(std::string_view ups) const;

private:
    friend class Session;

    struct Login {
        const Session* session;
        std::string ups;
        std::string user;
        std::string peer;
    };

    // The user with this name and password, or nullptr.  A wrong password
    // is logged (at most one line a minute, with the count).
    const User* Authenticate(const std::string& name, const std::string& password,
                             const std::string& peer, SteadyTime now);
    void AddLogin(const Session& session, const std::string& ups, const std::string& user,
                  const std::string& peer);
    // Drops the session's login, if any; the last one out of a UPS clears
    // its forced-shutdown mark.
    void DropLogin(const Session& session);
    void SetForcedShutdown(const std::string& ups, const std::string& user,
                           const std::string& peer);
    void Log(const std::string& line) const;

    const SnapshotSource& ups_;
    std::vector<User> users_;
    std::string version_;
    LogSink log_;
    std::vector<Login> logins_; // in login order (LIST CLIENT)
    std::set<std::string, std::less<>> forced_shutdown_;
    // Refused logins not yet logged, and when the last line about them went.
    std::uint64_t refusals_unlogged_ = 0;
    SteadyTime refusal_logged_{};
    bool refusal_logged_once_ = false;
};

// The replies to one request.
struct Reply {
    std::vector<std::string> lines; // without their line ends
    bool close = false;             // the connection ends once they are written
};

// What Session::Receive made of some bytes.
struct Received {
    std::size_t requests = 0; // complete request lines among them
    bool close = false;       // the connection ends once the replies are written
    bool refused = false;     // ... because of a line too long or bytes not text
};

class Session
{
public:
    // `peer` is the client's address, as LIST CLIENT shows it.
    Session(Hub& hub, std::string peer);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Bytes as the client sent them, cut anywhere.  Appends the replies to
    // `out`, each line ended by "\n".  A request line of more than kMaxLine
    // bytes is refused with ERR TOO-LONG, bytes that are not text (control
    // characters but tab and the line end) with ERR INVALID-ARGUMENT; either
    // ends the connection.  Nothing after a reply that ends the connection
    // is read.
    Received Receive(std::string_view bytes, SteadyTime now, std::string& out);
    // One request line, without its line end.
    Reply Request(std::string_view line, SteadyTime now);

    bool Closing() const { return closing_; }

private:
    using Words = std::vector<std::string>;

    void Dispatch(const Words& w, SteadyTime now, Reply& r);
    void Get(const Words& w, SteadyTime now, Reply& r);
    void List(const Words& w, SteadyTime now, Reply& r);
    void Set(const Words& w, Reply& r);
    void Instcmd(const Words& w, Reply& r);
    void Username(const Words& w, Reply& r);
    void Password(const Words& w, Reply& r);
    void Login(const Words& w, SteadyTime now, Reply& r);
    void Primary(const Words& w, SteadyTime now, Reply& r);
    void Fsd(const Words& w, SteadyTime now, Reply& r);

    // The UPS named by w[index]; nullptr after adding ERR UNKNOWN-UPS.
    const site::UpsSnapshot* FindUps(const Words& w, std::size_t index, Reply& r) const;
    // The credentials given so far, checked; nullptr after adding the error.
    const User* Credentials(SteadyTime now, Reply& r);
    const User* UserFor(const Words& w, SteadyTime now, Reply& r);

    Hub& hub_;
    std::string peer_;
    std::string pending_; // the request line received so far
    bool username_set_ = false;
    bool password_set_ = false;
    std::string username_;
    std::string password_;
    std::string login_ups_;                         // LOGIN, empty before
    std::set<std::string, std::less<>> primary_of_; // PRIMARY / MASTER granted
    bool closing_ = false;
};

} // namespace nut
