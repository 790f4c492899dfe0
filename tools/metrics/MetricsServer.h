// The Prometheus metrics listener: HTTP/1.1 (Boost.Beast) on the site's
// shared io_context.  GET or HEAD of /metrics answers the text exposition
// (MetricsText.h) built from the snapshots at that moment, / a small index
// page; any other path is 404, any other method 405.
//
// Nothing here blocks or waits on the io_context: every socket operation is
// asynchronous, and building the text is bounded work.  A request must
// arrive in full (request line and headers, at most 8 KiB) and its answer be
// taken within the configured request timeout, else the connection is
// closed; a request line or headers over the limit get 431 and the
// connection is closed; connections beyond the configured number are closed
// as soon as they are accepted.  A request with a body is answered and the
// connection closed without reading it.
//
// Every member function, and the source's callbacks, run on the io_context's
// thread; a callback that throws fails that request with 500.  Destroy the
// server before its io_context.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "SiteConfig.h"
#include "UpsSnapshot.h"

namespace metrics
{

// Where the listener reads the site at request time.
struct MetricsSource {
    // Appends every UPS of the site to `out` (empty on entry), in
    // configured order.  The snapshots need to stay valid only until the
    // call that asked for them returns.
    std::function<void(std::vector<const site::UpsSnapshot*>& out)> snapshots;
    // The number of entries in the MQTT outbox.  Empty (no function), or
    // nullopt from it: the site has no outbox and the metric is left out.
    std::function<std::optional<std::uint64_t>()> outbox_depth;
};

// A listen address that cannot be used; what() is one line,
// "prometheus listen 127.0.0.1:9583: Address already in use".
class ListenError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class MetricsServer
{
public:
    MetricsServer(boost::asio::io_context& io, site::PrometheusConfig config, MetricsSource source);
    // Stops.
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on every configured address (a host name is resolved here,
    // once) and starts accepting.  Throws ListenError, listening on none.
    void Start();
    // Closes the listeners and every connection; their handlers finish on
    // the io_context with nothing more to do.
    void Stop();

    // The addresses listened on (with the port the system chose for 0).
    std::vector<boost::asio::ip::tcp::endpoint> Endpoints() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace metrics
