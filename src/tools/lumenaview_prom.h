// The viewer's metrics in the Prometheus text exposition format (0.0.4) or in
// OpenMetrics text: one exposition for all brokers of a snapshot.
//
// Families, for each level L of node, flow, execution_group and broker (the
// flow, group and broker ones are the library's sums per node-type slot):
//   lumena_L_messages_total, lumena_L_message_bytes_total,
//   lumena_L_elapsed_seconds_total, lumena_L_queued_seconds_total  (counters)
//   lumena_L_message_size_min_bytes / _max_bytes, lumena_L_elapsed_min_seconds /
//   _max_seconds, lumena_L_queued_min_seconds / _max_seconds,
//   lumena_L_first_collection_timestamp_seconds,
//   lumena_L_last_collection_timestamp_seconds  (gauges; only with messages)
// plus lumena_node_deleted, lumena_node_statistics_unstable,
// lumena_execution_group_process_id, lumena_execution_group_process_alive,
// lumena_broker_up, lumena_broker_reset_timestamp_seconds, lumena_broker_problems,
// and once per exposition lumena_build_info{version,revision}, lumena_brokers and
// (when looked at) lumena_stale_locks, lumena_locks_refused and
// lumena_brokers_refused. A key file refused for the trust rules is no broker:
// it has only lumena_broker_refused{keyfile,reason} 1.
// Labels: broker (label), broker_uuid, execution_group, flow, node, node_uuid,
// node_type (the node's type, or the slot of a sum), as far as the level has them.
// Two series whose labels would be equal (two groups of one label, say) stay
// apart: the later ones get duplicate="2", "3", ... A figure that is not a
// finite number is left out.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/lumenaview_model.h"

namespace lumenaview {

// Figures of the machine rather than of a broker; one below 0 is left out.
struct MachineFigures {
    int staleLocks = -1;       // lumena_stale_locks
    int refusedLocks = -1;     // lumena_locks_refused
    int refusedKeyFiles = -1;  // lumena_brokers_refused: all, listed or not
};
std::string prometheusText(const std::vector<BrokerView>& brokers, bool openMetrics,
                           const MachineFigures& figures);
// `staleLocks` below 0 leaves lumena_stale_locks out.
std::string prometheusText(const std::vector<BrokerView>& brokers, bool openMetrics,
                           int staleLocks = -1);
// The exposition as a terminal may show it: control bytes (C0 but the line
// feed, DEL, C1) as visible escapes \x1B or \u009B. Files and HTTP get the
// exposition as it is.
std::string terminalSafe(const std::string& exposition);
void writePrometheus(std::ostream& out, const std::vector<BrokerView>& brokers, bool openMetrics,
                     int staleLocks = -1);
// The exposition as a terminal may show it: control bytes (C0 but the line
// feed, DEL, C1) as visible escapes \x1B or \u009B. Files and HTTP get the
// exposition as it is.
std::string terminalSafe(const std::string& exposition);

}  // namespace lumenaview
