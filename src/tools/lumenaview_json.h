// The viewer's JSON output: one document per run, an array with one object
// per broker; or, for a watch, one line per broker and refresh (ndjson).
//
// Broker object (times in ISO 8601 with the offset of this machine's zone;
// null where there is none; the schema is also in README.md):
//   { "broker": {"uuid", "label", "found"}, "key_file", "segment_size",
//     "snapshot": {"time", "unix"}, "error", "refused", "filter", "reset_time",
//     "areas": [{"eyecatcher", "offset", "size", "next_offset", "last_offset", "last_update"}],
//     "problems": [{"offset", "message"}], "unstable_records", "detached_records",
//     "sums": {"input": S, "output": S, "other": S},
//     "execution_groups": [{"label", "uuid", "process_id", "process", "sums",
//        "message_flows": [{"label", "uuid", "sums",
//           "nodes": [{"label", "uuid", "record_id", "type", "deleted", "unstable",
//                      "statistics": S or null}]}]}],
//     "events": [...]   (only with --events) }
// A key file refused for the library's trust rules is an object of its own
// whose "refused" names the reason and whose "error" says why.
// S = {"messages", "rate_per_second", "size_bytes": {"sum","avg","min","max"},
//      "elapsed_ms": {...}, "queued_ms": {...} or null when not collected,
//      "first_collection", "last_collection"}
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <vector>

#include "tools/lumenaview_model.h"

namespace lumenaview {

nlohmann::ordered_json toJson(const BrokerView& view);
// The array of brokers on one line, or indented when `pretty`.
void writeJson(std::ostream& out, const std::vector<BrokerView>& views, bool pretty);
// One line per broker.
void writeNdjson(std::ostream& out, const std::vector<BrokerView>& views);

}  // namespace lumenaview
