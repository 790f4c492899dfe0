#include "Session.h"

#include <algorithm>
#include <ctime>

#include "Catalogue.h"
#include "Words.h"

namespace nut
{
namespace
{

using catalogue::Quantity;
using catalogue::RoundQuantity;

constexpr std::chrono::seconds kRefusalLogInterval{60};

std::string Upper(std::string_view word)
{
    std::string upper(word);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return upper;
}

void Error(Reply& r, const char* token)
{
    r.lines.push_back(std::string("ERR ") + token);
}

bool KnownVariable(const std::string& name)
{
    return catalogue::FindQuantity(name) != nullptr ||
           catalogue::FindRoundQuantity(name) != nullptr;
}

std::string Description(const site::UpsSnapshot& ups)
{
    return ups.description.empty() ? "Unavailable" : ups.description;
}

std::string UtcText(std::chrono::system_clock::time_point time)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// A value of the round or the line; false when there is no round to say
// anything of.
bool RoundText(const RoundQuantity& q, const site::UpsSnapshot& ups, SteadyTime now,
               std::string& text)
{
    switch (q.derivation) {
    case catalogue::RoundDerivation::Age: {
        if (!ups.last) {
            return false;
        }
        const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - ups.last->steady);
        text = std::to_string(std::max<std::chrono::seconds::rep>(age.count(), 0));
        return true;
    }
    case catalogue::RoundDerivation::Time:
        if (!ups.last) {
            return false;
        }
        text = UtcText(ups.last->time);
        return true;
    case catalogue::RoundDerivation::LineState:
        text = site::LineStateName(ups.line);
        return true;
    }
    return false;
}

std::string StatusText(const unsigned char* record, bool forced_shutdown)
{
    std::string text;
    for (const std::string& token : catalogue::StatusTokens(record, forced_shutdown)) {
        text += (text.empty() ? "" : " ") + token;
    }
    return text;
}

// A value of the last round's record; false when the record does not have it.
bool RecordText(const Quantity& q, const site::UpsSnapshot& ups, bool forced_shutdown,
                std::string& text)
{
    const unsigned char* record = ups.last->record.data();
    catalogue::Value value;
    if (!catalogue::ValueOf(record, q, value)) {
        return false;
    }
    text = q.derivation == catalogue::Derivation::Status ? StatusText(record, forced_shutdown)
                                                         : value.text;
    return true;
}

std::string VarLine(const char* kind, const std::string& ups, const std::string& name,
                    const std::string& text)
{
    return std::string(kind) + " " + ups + " " + name + " " + Quote(text);
}

} // namespace

// --- Hub ---

Hub::Hub(const SnapshotSource& ups, std::vector<User> users, std::string version, LogSink log)
    : ups_(ups), users_(std::move(users)), version_(std::move(version)), log_(std::move(log))
{
}

std::size_t Hub::Logins(std::string_view ups) const
{
    return static_cast<std::size_t>(std::count_if(
        logins_.begin(), logins_.end(), [&](const Login& login) { return login.ups == ups; }));
}

bool Hub::ForcedShutdown(std::string_view ups) const
{
    return forced_shutdown_.find(ups) != forced_shutdown_.end();
}

void Hub::Log(const std::string& line) const
{
    if (log_) {
        log_(line);
    }
}

const User* Hub::Authenticate(const std::string& name, const std::string& password,
                              const std::string& peer, SteadyTime now)
{
    for (const User& user : users_) {
        if (user.name == name && user.password == password) {
            return &user;
        }
    }
    // Said once, then at most once a minute with the count, so that someone
    // guessing passwords cannot flood the log.
    ++refusals_unlogged_;
    if (!refusal_logged_once_ || now - refusal_logged_ >= kRefusalLogInterval) {
        std::string line = "server: refused login of user \"" + name + "\" from " + peer +
                           " (unknown user or wrong password)";
        if (refusals_unlogged_ > 1) {
            line +=
                "; " + std::to_string(refusals_unlogged_) + " refused logins since the last line";
        }
        Log(line);
        refusals_unlogged_ = 0;
        refusal_logged_ = now;
        refusal_logged_once_ = true;
    }
    return nullptr;
}

void Hub::AddLogin(const Session& session, const std::string& ups, const std::string& user,
                   const std::string& peer)
{
    logins_.push_back(Login{&session, ups, user, peer});
    Log("server: " + user + "@" + peer + " logged in to " + ups);
}

void Hub::DropLogin(const Session& session)
{
    const auto it = std::find_if(logins_.begin(), logins_.end(),
                                 [&](const Login& login) { return login.session == &session; });
    if (it == logins_.end()) {
        return;
    }
    const std::string ups = it->ups;
    Log("server: " + it->user + "@" + it->peer + " left " + ups);
    logins_.erase(it);
    if (Logins(ups) == 0) {
        const auto mark = forced_shutdown_.find(ups);
        if (mark != forced_shutdown_.end()) {
            forced_shutdown_.erase(mark);
            Log("server: forced shutdown of " + ups + " cleared: no client is logged in to it");
        }
    }
}

void Hub::SetForcedShutdown(const std::string& ups, const std::string& user,
                            const std::string& peer)
{
    if (forced_shutdown_.insert(ups).second) {
        Log("server: forced shutdown of " + ups + " set by " + user + "@" + peer);
    }
}

// --- Session ---

Session::Session(Hub& hub, std::string peer) : hub_(hub), peer_(std::move(peer)) {}

Session::~Session()
{
    hub_.DropLogin(*this);
}

Received Session::Receive(std::string_view bytes, SteadyTime now, std::string& out)
{
    Received received;
    const auto end = [&](const char* error) {
        out += "ERR ";
        out += error;
        out += '\n';
        pending_.clear();
        closing_ = true;
        received.refused = true;
    };
    for (const char c : bytes) {
        if (closing_) {
            break;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            if (!pending_.empty() && pending_.back() == '\r') {
                pending_.pop_back();
            }
            if (pending_.size() > kMaxLine) {
                end("TOO-LONG");
                break;
            }
            ++received.requests;
            const Reply reply = Request(pending_, now);
            pending_.clear();
            for (const std::string& line : reply.lines) {
                out += line;
                out += '\n';
            }
        } else if ((byte < 0x20 && c != '\t' && c != '\r') || byte == 0x7f) {
            end("INVALID-ARGUMENT");
        } else {
            pending_ += c;
            // One more for the carriage return of a CR LF line end.
            if (pending_.size() > kMaxLine + 1) {
                end("TOO-LONG");
            }
        }
    }
    received.close = closing_;
    return received;
}

Reply Session::Request(std::string_view line, SteadyTime now)
{
    Reply r;
    if (closing_) {
        r.close = true;
        return r;
    }
    const auto words = SplitWords(line);
    if (!words) {
        Error(r, "INVALID-ARGUMENT");
    } else if (!words->empty()) {
        Dispatch(*words, now, r);
    }
    r.close = closing_;
    return r;
}

void Session::Dispatch(const Words& w, SteadyTime now, Reply& r)
{
    const std::string command = Upper(w[0]);
    if (command == "VER") {
        r.lines.push_back(hub_.version_);
    } else if (command == "NETVER") {
        r.lines.emplace_back(kProtocolVersion);
    } else if (command == "HELP") {
        r.lines.emplace_back(
            "Commands: HELP VER NETVER GET LIST USERNAME PASSWORD LOGIN LOGOUT PRIMARY MASTER FSD");
    } else if (command == "GET") {
        Get(w, now, r);
    } else if (command == "LIST") {
        List(w, now, r);
    } else if (command == "SET") {
        Set(w, r);
    } else if (command == "INSTCMD") {
        Instcmd(w, r);
    } else if (command == "USERNAME") {
        Username(w, r);
    } else if (command == "PASSWORD") {
        Password(w, r);
    } else if (command == "LOGIN") {
        Login(w, now, r);
    } else if (command == "LOGOUT") {
        hub_.DropLogin(*this);
        login_ups_.clear();
        r.lines.emplace_back("OK Goodbye");
        closing_ = true;
    } else if (command == "PRIMARY" || command == "MASTER") {
        Primary(w, now, r);
    } else if (command == "FSD") {
        Fsd(w, now, r);
    } else if (command == "STARTTLS") {
        Error(r, "FEATURE-NOT-SUPPORTED");
    } else {
        Error(r, "UNKNOWN-COMMAND");
    }
}

const site::UpsSnapshot* Session::FindUps(const Words& w, std::size_t index, Reply& r) const
{
    const site::UpsSnapshot* ups = hub_.Ups().Find(w[index]);
    if (ups == nullptr) {
        Error(r, "UNKNOWN-UPS");
    }
    return ups;
}

void Session::Get(const Words& w, SteadyTime now, Reply& r)
{
    const std::string what = w.size() > 1 ? Upper(w[1]) : std::string();
    const bool per_ups = what == "UPSDESC" || what == "NUMLOGINS";
    const bool per_var = what == "VAR" || what == "TYPE" || what == "DESC" || what == "CMDDESC";
    if (!(per_ups && w.size() == 3) && !(per_var && w.size() == 4)) {
        Error(r, "INVALID-ARGUMENT");
        return;
    }
    const site::UpsSnapshot* ups = FindUps(w, 2, r);
    if (ups == nullptr) {
        return;
    }
    const std::string& name = w[2];
    if (what == "UPSDESC") {
        r.lines.push_back("UPSDESC " + name + " " + Quote(Description(*ups)));
        return;
    }
    if (what == "NUMLOGINS") {
        r.lines.push_back("NUMLOGINS " + name + " " + std::to_string(hub_.Logins(name)));
        return;
    }
    const std::string& var = w[3];
    if (what == "CMDDESC") {
        Error(r, "CMD-NOT-SUPPORTED");
        return;
    }
    const Quantity* quantity = catalogue::FindQuantity(var);
    const RoundQuantity* round = catalogue::FindRoundQuantity(var);
    if (what == "TYPE" || what == "DESC") {
        // By name: the same for every UPS, stale or not.
        if (quantity == nullptr && round == nullptr) {
            Error(r, "VAR-NOT-SUPPORTED");
        } else if (what == "TYPE") {
            r.lines.push_back("TYPE " + name + " " + var + " " +
                              (quantity != nullptr ? catalogue::ProtocolType(*quantity)
                                                   : std::string(round->type)));
        } else {
            r.lines.push_back(
                VarLine("DESC", name, var,
                        quantity != nullptr ? quantity->description : round->description));
        }
        return;
    }
    std::string text;
    if (round != nullptr) {
        if (RoundText(*round, *ups, now, text)) {
            r.lines.push_back(VarLine("VAR", name, var, text));
        } else {
            Error(r, "DATA-STALE");
        }
        return;
    }
    if (ups->Stale(now)) {
        Error(r, "DATA-STALE");
    } else if (quantity == nullptr ||
               !RecordText(*quantity, *ups, hub_.ForcedShutdown(name), text)) {
        Error(r, "VAR-NOT-SUPPORTED");
    } else {
        r.lines.push_back(VarLine("VAR", name, var, text));
    }
}

void Session::List(const Words& w, SteadyTime now, Reply& r)
{
    const std::string what = w.size() > 1 ? Upper(w[1]) : std::string();
    if (what == "UPS" && w.size() == 2) {
        r.lines.emplace_back("BEGIN LIST UPS");
        for (const std::string& name : hub_.Ups().Names()) {
            const site::UpsSnapshot* ups = hub_.Ups().Find(name);
            if (ups != nullptr) {
                r.lines.push_back("UPS " + name + " " + Quote(Description(*ups)));
            }
        }
        r.lines.emplace_back("END LIST UPS");
        return;
    }
    const bool per_ups = what == "VAR" || what == "RW" || what == "CMD" || what == "CLIENT";
    const bool per_var = what == "ENUM" || what == "RANGE";
    if (!(per_ups && w.size() == 3) && !(per_var && w.size() == 4)) {
        Error(r, "INVALID-ARGUMENT");
        return;
    }
    const site::UpsSnapshot* ups = FindUps(w, 2, r);
    if (ups == nullptr) {
        return;
    }
    const std::string& name = w[2];
    std::string query = what + " " + name;
    if (per_var) {
        if (!KnownVariable(w[3])) {
            Error(r, "VAR-NOT-SUPPORTED");
            return;
        }
        query += " " + w[3];
    }
    if (what == "VAR" && ups->Stale(now)) {
        Error(r, "DATA-STALE");
        return;
    }
    r.lines.push_back("BEGIN LIST " + query);
    if (what == "VAR") {
        const bool forced = hub_.ForcedShutdown(name);
        std::string text;
        for (const Quantity& q : catalogue::Quantities()) {
            if (RecordText(q, *ups, forced, text)) {
                r.lines.push_back(VarLine("VAR", name, q.nut, text));
            }
        }
        for (const RoundQuantity& q : catalogue::RoundQuantities()) {
            if (RoundText(q, *ups, now, text)) {
                r.lines.push_back(VarLine("VAR", name, q.nut, text));
            }
        }
    } else if (what == "CLIENT") {
        for (const Hub::Login& login : hub_.logins_) {
            if (login.ups == name) {
                r.lines.push_back("CLIENT " + name + " " + login.peer);
            }
        }
    }
    // RW, CMD, ENUM and RANGE: a read-only server has none.
    r.lines.push_back("END LIST " + query);
}

void Session::Set(const Words& w, Reply& r)
{
    if (w.size() != 5 || Upper(w[1]) != "VAR") {
        Error(r, "INVALID-ARGUMENT");
        return;
    }
    if (FindUps(w, 2, r) == nullptr) {
        return;
    }
    Error(r, KnownVariable(w[3]) ? "READONLY" : "VAR-NOT-SUPPORTED");
}

void Session::Instcmd(const Words& w, Reply& r)
{
    if (w.size() != 3 && w.size() != 4) {
        Error(r, "INVALID-ARGUMENT");
        return;
    }
    if (FindUps(w, 1, r) != nullptr) {
        Error(r, "CMD-NOT-SUPPORTED");
    }
}

void Session::Username(const Words& w, Reply& r)
{
    if (w.size() != 2) {
        Error(r, "INVALID-ARGUMENT");
    } else if (username_set_) {
        Error(r, "ALREADY-SET-USERNAME");
    } else if (w[1].empty()) {
        Error(r, "INVALID-USERNAME");
    } else {
        username_ = w[1];
        username_set_ = true;
        r.lines.emplace_back("OK");
    }
}

void Session::Password(const Words& w, Reply& r)
{
    if (w.size() != 2) {
        Error(r, "INVALID-ARGUMENT");
    } else if (password_set_) {
        Error(r, "ALREADY-SET-PASSWORD");
    } else if (w[1].empty()) {
        Error(r, "INVALID-PASSWORD");
    } else {
        password_ = w[1];
        password_set_ = true;
        r.lines.emplace_back("OK");
    }
}

const User* Session::Credentials(SteadyTime now, Reply& r)
{
    if (!username_set_) {
        Error(r, "USERNAME-REQUIRED");
        return nullptr;
    }
    if (!password_set_) {
        Error(r, "PASSWORD-REQUIRED");
        return nullptr;
    }
    const User* user = hub_.Authenticate(username_, password_, peer_, now);
    if (user == nullptr) {
        Error(r, "ACCESS-DENIED");
    }
    return user;
}

// The user a command on the UPS named in w[1] acts as: the credentials
// given name one and the UPS is known; nullptr, with the reply saying why,
// otherwise.
const User* Session::UserFor(const Words& w, SteadyTime now, Reply& r)
{
    if (!username_set_ || !password_set_) {
        Credentials(now, r);
        return nullptr;
    }
    if (FindUps(w, 1, r) == nullptr) {
        return nullptr;
    }
    return Credentials(now, r);
}

void Session::Login(const Words& w, SteadyTime now, Reply& r)
{
    if (w.size() != 2) {
        Error(r, "INVALID-ARGUMENT");
        return;
    }
    if (!login_ups_.empty()) {
        Error(r, "ALREADY-LOGGED-IN");
        return;
    }
    const User* user = UserFor(w, now, r);
    if (user == nullptr) {
        return;
    }
    login_ups_ = w[1];
    hub_.AddLogin(*this, login_ups_, user->name, peer_);
    r.lines.emplace_back("OK");
}

void Session::Primary(const Words& w, SteadyTime now, Reply& r)
{
    if (w.size() != 2) {
        Error(r, "INVALID-ARGUMENT");
        return;
    }
    const User* user = UserFor(w, now, r);
    if (user == nullptr) {
        return;
    }
    if (user->role != Role::Primary) {
        Error(r, "ACCESS-DENIED");
        return;
    }
    primary_of_.insert(w[1]);
    r.lines.push_back(Upper(w[0]) == "MASTER" ? "OK MASTER-GRANTED" : "OK PRIMARY-GRANTED");
}

void Session::Fsd(const Words& w, SteadyTime now, Reply& r)
{
    if (w.size() != 2) {
        Error(r, "INVALID-ARGUMENT");
        return;
    }
    const User* user = UserFor(w, now, r);
    if (user == nullptr) {
        return;
    }
    // Only a primary logged in to the UPS: the mark holds until the last
    // client logged in to it has gone, so there must be one.
    if (user->role != Role::Primary || login_ups_ != w[1] ||
        primary_of_.find(w[1]) == primary_of_.end()) {
        Error(r, "ACCESS-DENIED");
        return;
    }
    hub_.SetForcedShutdown(w[1], user->name, peer_);
    r.lines.emplace_back("OK FSD-SET");
}

} // namespace nut
