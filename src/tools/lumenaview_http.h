// lumenaview --listen / --web.listen-address: the metrics over HTTP or HTTPS
// for a Prometheus server.
//
//   GET /metrics     (or --web.telemetry-path) an exposition: OpenMetrics when
//                    the Accept header asks for it, else the text format 0.0.4
//   GET /-/healthy   "OK" while the server runs
//   GET /            a short page linking both
// HEAD gets the same head without a body, and costs no capture. Other methods
// on these paths get 405 (with Allow), other paths 404, decided on the request
// head alone; a method the server does not recognise gets 501, a malformed
// request 400. With users in the web configuration, every request needs one of
// them (Basic authentication), else 401 with WWW-Authenticate.
//
// A hostile client cannot deny a scrape. One thread serves every connection
// from an epoll set, never blocking on one: a connection costs a descriptor
// and a few hundred bytes, not a thread. Each must complete its TLS handshake
// and request head within kHeadDeadline (else 408), its head within kHeadLimit
// bytes (else 431), and keep reading its response (no progress for
// kWriteIdle closes it). One request per connection. A client address holds at
// most kPerAddressLimit connections and the server kConnectionLimit; beyond,
// a connection is still read and answered 503 with Retry-After, then closed
// after its request has been drained (never reset unread). Captures run on a
// thread of their own; every scrape waiting when one starts shares it. The
// listening socket is the process's own: never SO_REUSEPORT, so a second
// exporter on a port in use fails instead of splitting the scrapes.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/lumenaview_selfmetrics.h"

namespace lumenaview {

inline constexpr int kDefaultPort = 9637;
inline constexpr auto kHeadDeadline = std::chrono::seconds(5);
inline constexpr auto kRefusalDeadline = std::chrono::seconds(1);
inline constexpr auto kWriteIdle = std::chrono::seconds(10);
inline constexpr auto kLinger = std::chrono::seconds(2);
inline constexpr size_t kHeadLimit = 8192;
inline constexpr size_t kPerAddressLimit = 256;
inline constexpr size_t kConnectionLimit = 8192;  // lowered to what RLIMIT_NOFILE allows
inline constexpr size_t kRefusingLimit = 512;     // connections being answered 503 at once
inline constexpr size_t kPasswordQueueLimit = 16;

struct Endpoint {
    std::string host;  // "127.0.0.1", "::1", "::" (both families when dualStack)
    int port = 0;      // 0: any free port
    bool dualStack = false;
};
// "ADDR:PORT", "[IPV6]:PORT", or ":PORT" (every address, IPv6 and IPv4);
// false when malformed.
bool parseEndpoint(const std::string& text, Endpoint& endpoint);

struct Expositions {
    std::string text;         // the text format 0.0.4
    std::string openMetrics;  // OpenMetrics
};
// Reads the segments once and renders the formats asked for; called on the
// capture thread, one call at a time.
using Scrape = std::function<void(bool text, bool openMetrics, Expositions& out)>;

struct ServeOptions {
    std::vector<Endpoint> endpoints;
    std::string telemetryPath = "/metrics";
    std::string webConfigFile;  // empty: plain HTTP, no users
};

enum class ServeResult { kStopped, kCannotListen, kBadWebConfig };

// Serves until `stop` returns true (polled a few times a second); `reload`
// returning true (after a SIGHUP) re-reads the web configuration, keeping the
// old one when the new one is unusable. Says on `err` where it listens
// ("listening on http://HOST:PORT/metrics", one line per address).
ServeResult serveMetrics(const ServeOptions& options, const Scrape& scrape, SelfMetrics& self,
                         const std::function<bool()>& stop, const std::function<bool()>& reload,
                         std::ostream& err);

}  // namespace lumenaview
