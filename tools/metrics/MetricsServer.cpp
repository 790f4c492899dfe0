#include "MetricsServer.h"

#include <chrono>
#include <exception>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include "MetricsText.h"

namespace metrics
{

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace
{

// The request line and headers together.
constexpr std::uint32_t kHeaderLimit = 8 * 1024;
// Read buffer: room for the headers and what a client sends after them.
constexpr std::size_t kBufferLimit = 16 * 1024;
// After a failed accept (out of descriptors), the next try waits this long.
constexpr std::chrono::milliseconds kAcceptRetry{100};

const char kIndexPage[] =
    "<!DOCTYPE html>\n<html><head><title>halx-host metrics</title></head>\n"
    "<body><h1>halx-host</h1><p><a href=\"/metrics\">Metrics</a></p></body></html>\n";

class Session;

struct Listener {
    explicit Listener(asio::io_context& io) : acceptor(io), retry(io) {}
    tcp::acceptor acceptor;
    asio::steady_timer retry;
};

} // namespace

struct MetricsServer::State : std::enable_shared_from_this<MetricsServer::State> {
    State(asio::io_context& context, site::PrometheusConfig c, MetricsSource s)
        : io(context), config(std::move(c)), source(std::move(s))
    {
    }

    void Accept(Listener& listener);
    // The metrics as they are now, into `out`.
    void Metrics(std::string& out);

    asio::io_context& io;
    site::PrometheusConfig config;
    MetricsSource source;
    MetricsText text;
    std::vector<const site::UpsSnapshot*> snapshots;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::set<Session*> sessions;
    bool stopped = false;
};

namespace
{

bool IsHttpError(const beast::error_code& ec)
{
    return ec.category() == http::make_error_code(http::error::bad_method).category();
}

class Session : public std::enable_shared_from_this<Session>
{
public:
    Session(std::shared_ptr<MetricsServer::State> state, tcp::socket socket)
        : state_(std::move(state)), stream_(std::move(socket)), buffer_(kBufferLimit)
    {
        state_->sessions.insert(this);
    }
    ~Session() { state_->sessions.erase(this); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Start() { ReadRequest(); }

    void Close()
    {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

private:
    void ReadRequest()
    {
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        stream_.expires_after(state_->config.request_timeout);
        http::async_read_header(stream_, buffer_, *parser_,
                                beast::bind_front_handler(&Session::OnHeader, shared_from_this()));
    }

    void OnHeader(beast::error_code ec, std::size_t /*bytes*/)
    {
        if (state_->stopped) {
            return;
        }
        if (ec == http::error::header_limit) {
            Reply(http::status::request_header_fields_too_large, 11, false);
            return;
        }
        if (ec && IsHttpError(ec) && ec != http::error::end_of_stream &&
            ec != http::error::partial_message) {
            Reply(http::status::bad_request, 11, false);
            return;
        }
        if (ec) {
            // The peer left, reset, or was too slow: nothing to answer.
            Close();
            return;
        }
        const http::request<http::empty_body>& request = parser_->get();
        // A body is never read: answer, then close.
        const bool keep_alive = request.keep_alive() && parser_->is_done();
        const bool get = request.method() == http::verb::get;
        const bool head = request.method() == http::verb::head;
        std::string_view path(request.target().data(), request.target().size());
        path = path.substr(0, path.find('?'));
        response_ = {};
        if (path != "/metrics" && path != "/") {
            Reply(http::status::not_found, request.version(), keep_alive);
        } else if (!get && !head) {
            response_.set(http::field::allow, "GET, HEAD");
            Reply(http::status::method_not_allowed, request.version(), keep_alive);
        } else if (path == "/metrics") {
            try {
                state_->Metrics(body_);
            } catch (const std::exception&) {
                // The site could not be read this time (the source threw,
                // or memory ran out): this request fails, the loop goes on.
                Reply(http::status::internal_server_error, request.version(), false);
                return;
            }
            Send(http::status::ok, kContentType, request.version(), keep_alive, head);
        } else {
            body_.assign(kIndexPage);
            Send(http::status::ok, "text/html; charset=utf-8", request.version(), keep_alive, head);
        }
    }

    // An error page: the status line as text.
    void Reply(http::status status, unsigned version, bool keep_alive)
    {
        body_.assign(http::obsolete_reason(status).data(), http::obsolete_reason(status).size());
        body_ += '\n';
        Send(status, "text/plain; charset=utf-8", version, keep_alive, false);
    }

    void Send(http::status status, const char* content_type, unsigned version, bool keep_alive,
              bool head)
    {
        response_.result(status);
        response_.version(version == 10 ? 10 : 11);
        response_.set(http::field::server, "halx-host");
        response_.set(http::field::content_type, content_type);
        response_.keep_alive(keep_alive);
        body_out_ = !head;
        if (head) {
            response_.content_length(body_.size());
        } else {
            // The text's storage goes out with the answer and comes back
            // after it, for the next request on this connection.
            response_.body() = std::move(body_);
            response_.prepare_payload();
        }
        stream_.expires_after(state_->config.request_timeout);
        http::async_write(stream_, response_,
                          beast::bind_front_handler(&Session::OnWritten, shared_from_this()));
    }

    void OnWritten(beast::error_code ec, std::size_t /*bytes*/)
    {
        if (body_out_) {
            body_ = std::move(response_.body());
        }
        body_.clear();
        if (state_->stopped) {
            return;
        }
        if (ec || !response_.keep_alive()) {
            Close();
            return;
        }
        ReadRequest();
    }

    std::shared_ptr<MetricsServer::State> state_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    http::response<http::string_body> response_;
    std::string body_;
    bool body_out_ = false; // body_'s storage is in response_
};

} // namespace

void MetricsServer::State::Metrics(std::string& out)
{
    snapshots.clear();
    if (source.snapshots) {
        source.snapshots(snapshots);
    }
    std::optional<std::uint64_t> depth;
    if (source.outbox_depth) {
        depth = source.outbox_depth();
    }
    text.Write(snapshots, std::chrono::steady_clock::now(), depth, out);
}

void MetricsServer::State::Accept(Listener& listener)
{
    listener.acceptor.async_accept(
        [self = shared_from_this(), &listener](beast::error_code ec, tcp::socket socket) {
            if (self->stopped || ec == asio::error::operation_aborted) {
                return;
            }
            if (ec) {
                // Out of descriptors, or a connection gone before it was taken:
                // try again a little later rather than spin.
                listener.retry.expires_after(kAcceptRetry);
                listener.retry.async_wait([self, &listener](beast::error_code wait_ec) {
                    if (!wait_ec && !self->stopped) {
                        self->Accept(listener);
                    }
                });
                return;
            }
            if (self->sessions.size() >= self->config.max_connections) {
                beast::error_code ignored;
                socket.close(ignored);
            } else {
                std::make_shared<Session>(self, std::move(socket))->Start();
            }
            self->Accept(listener);
        });
}

MetricsServer::MetricsServer(asio::io_context& io, site::PrometheusConfig config,
                             MetricsSource source)
    : state_(std::make_shared<State>(io, std::move(config), std::move(source)))
{
}

MetricsServer::~MetricsServer()
{
    Stop();
}

void MetricsServer::Start()
{
    std::vector<std::unique_ptr<Listener>> listeners;
    for (const site::ListenAddress& address : state_->config.listen) {
        const std::string where = "prometheus listen " + address.text + ": ";
        beast::error_code ec;
        std::vector<tcp::endpoint> endpoints;
        const asio::ip::address ip = asio::ip::make_address(address.host, ec);
        if (!ec) {
            endpoints.emplace_back(ip, address.port);
        } else {
            tcp::resolver resolver(state_->io);
            const auto results = resolver.resolve(address.host, std::to_string(address.port),
                                                  tcp::resolver::passive, ec);
            if (ec) {
                throw ListenError(where + ec.message());
            }
            for (const auto& result : results) {
                endpoints.push_back(result.endpoint());
            }
        }
        for (const tcp::endpoint& endpoint : endpoints) {
            auto listener = std::make_unique<Listener>(state_->io);
            tcp::acceptor& acceptor = listener->acceptor;
            if (acceptor.open(endpoint.protocol(), ec) ||
                acceptor.set_option(tcp::acceptor::reuse_address(true), ec) ||
                (endpoint.address().is_v6() && acceptor.set_option(asio::ip::v6_only(true), ec)) ||
                acceptor.bind(endpoint, ec) ||
                acceptor.listen(asio::socket_base::max_listen_connections, ec)) {
                throw ListenError(where + ec.message());
            }
            listeners.push_back(std::move(listener));
        }
    }
    state_->stopped = false;
    for (auto& listener : listeners) {
        state_->listeners.push_back(std::move(listener));
        state_->Accept(*state_->listeners.back());
    }
}

void MetricsServer::Stop()
{
    state_->stopped = true;
    for (auto& listener : state_->listeners) {
        beast::error_code ignored;
        listener->acceptor.close(ignored);
        listener->retry.cancel();
    }
    // The listeners go when their last handler has run (it holds the state).
    const std::set<Session*> open = state_->sessions;
    for (Session* session : open) {
        session->Close();
    }
}

std::vector<tcp::endpoint> MetricsServer::Endpoints() const
{
    std::vector<tcp::endpoint> endpoints;
    for (const auto& listener : state_->listeners) {
        beast::error_code ec;
        const tcp::endpoint endpoint = listener->acceptor.local_endpoint(ec);
        if (!ec) {
            endpoints.push_back(endpoint);
        }
    }
    return endpoints;
}

} // namespace metrics
