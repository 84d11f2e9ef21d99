// What the exporter says about itself, appended to every exposition it
// serves:
//   lumena_exporter_scrape_duration_seconds{broker_uuid}  reading and decoding
//       that broker at the latest capture (gauge)
//   lumena_exporter_scrape_errors_total{broker_uuid}  captures in which that
//       broker could not be read (both only for the brokers of the latest capture)
//   lumena_exporter_captures_total, lumena_exporter_scrapes_total  reads of the
//       segments, and scrapes answered from them (several scrapes at once share
//       one capture)
//   lumena_exporter_connections_refused_total{reason}  limit (a client address
//       or the whole server at its connection limit), timeout (no complete
//       request head in time), busy (too many password checks waiting)
//   process_cpu_seconds_total, process_resident_memory_bytes, process_open_fds,
//   process_max_fds, process_start_time_seconds  from /proc
// Thread-safe: the serving thread and the capture thread update it at once.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace lumenaview {

class SelfMetrics {
  public:
    void brokerRead(const std::string& uuid, double seconds, bool failed);
    void captured(uint64_t scrapes);
    void refused(const std::string& reason);

    // Appends the families to `exposition`, before its "# EOF" in OpenMetrics.
    void appendTo(std::string& exposition, bool openMetrics) const;

  private:
    struct Broker {
        double seconds = 0;
        uint64_t errors = 0;
        uint64_t capture = 0;  // the latest that read it
    };
    mutable std::mutex mutex;
    std::map<std::string, Broker> brokers;
    std::map<std::string, uint64_t> refusals;
    uint64_t captures = 0;
    uint64_t scrapes = 0;
};

}  // namespace lumenaview
