// The viewer's JSON output: one document per broker snapshot.
//
// Shape (times in UTC ISO 8601 and as Unix seconds; null where there is none):
//   { "broker": {"uuid", "label", "found"}, "key_file", "segment_size",
//     "snapshot": {"time", "unix"}, "error", "reset_time",
//     "areas": [{"eyecatcher", "offset", "size", "next_offset", "last_offset", "last_update"}],
//     "problems": [{"offset", "message"}], "unstable_records", "detached_records",
//     "sums": {"input": S, "output": S, "other": S},
//     "execution_groups": [{"label", "uuid", "process_id", "process", "sums",
//        "message_flows": [{"label", "uuid", "sums",
//           "nodes": [{"label", "uuid", "record_id", "type", "deleted", "unstable",
//                      "statistics": S or null}]}]}],
//     "events": [...]   (only in the events mode) }
// S = {"messages", "rate_per_second", "size_bytes": {"sum","avg","min","max"},
//      "elapsed_ms": {...}, "queued_ms": {...}, "first_collection", "last_collection"}
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>

#include "tools/lumenaview_model.h"

namespace lumenaview {

nlohmann::ordered_json toJson(const BrokerView& view);
// The document on one line (JSON Lines), or indented when `pretty`.
void writeJson(std::ostream& out, const BrokerView& view, bool pretty);

}  // namespace lumenaview
