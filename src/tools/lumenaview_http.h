// lumenaview --listen: the metrics over HTTP for a Prometheus server.
//
//   GET /metrics     a fresh exposition per request: OpenMetrics when the
//                    Accept header asks for it, else the text format 0.0.4
//   GET /-/healthy   "OK" while the server runs
//   GET /            a short page linking both
// Other methods on these paths get 405 (with Allow), other paths 404, decided
// on the request head before any body is read; a method the server does not
// recognise gets 501, a malformed request line 400.
//
// Slow or silent clients never hold a worker: a connection waits in a
// waiting room watched by one thread until its whole request head has arrived
// (peeked, not consumed), at most kHeadDeadline and kHeadLimit bytes, and only
// then goes to the small pool of workers; a head that is too late, too long or
// finds the waiting room or the pool full gets 408, 431 or 503 there and then.
// One request per connection, so no idle keep-alive connection holds a worker.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>

namespace lumenaview {

inline constexpr auto kHeadDeadline = std::chrono::seconds(2);
inline constexpr size_t kHeadLimit = 8192;
inline constexpr int kWorkers = 4;
inline constexpr size_t kWaitingLimit = 512;  // connections waiting for their head
inline constexpr size_t kQueueLimit = 64;     // complete requests waiting for a worker

struct Endpoint {
    std::string host;  // "127.0.0.1", "::1", "0.0.0.0"
    int port = 0;      // 0: any free port
};
// "ADDR:PORT" or "[IPV6]:PORT"; false when malformed.
bool parseEndpoint(const std::string& text, Endpoint& endpoint);

// Builds one exposition; called on the worker threads, several at once.
using Scrape = std::function<std::string(bool openMetrics)>;

// Serves until `stop` returns true (polled a few times a second). Says on
// `err` where it listens ("listening on http://HOST:PORT/metrics"). Returns
// false when the address cannot be bound.
bool serveMetrics(const Endpoint& endpoint, const Scrape& scrape, const std::function<bool()>& stop,
                  std::ostream& err);

}  // namespace lumenaview
