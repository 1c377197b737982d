#pragma once
// A visit's telemetry inside the JSON object that wraps it: a service's request
// envelope ({"challenge": ..., "telemetry": {...}}) or a recorded visit's log
// line ({"id": ..., "label": ..., "telemetry": {...}}), read as the dict
// json.loads makes of it: of duplicate keys the last one counts, and names are
// compared unescaped.

#include <simdjson.h>

#include <optional>
#include <span>
#include <string_view>

#include "kinematics/visit_features.hpp"

namespace veltrix::json {

struct EnvelopeQuery {
    // The top-level member that holds the telemetry; none: the whole document is it.
    std::optional<std::string_view> telemetry_key;
    // Whether only an object counts as telemetry (the batch's rule), or any value
    // reads as extract_features_rs reads it (a non-object as the empty visit).
    bool telemetry_must_be_object = false;
    // Top-level members whose values the caller keeps.
    std::span<const std::string_view> kept_names;
};

// The features of the visit the document `root` holds as `query` asks, storing
// in kept[i] the value of the member named kept_names[i] (empty when missing).
// Nothing, with `kept` unspecified, when the document holds no such telemetry:
// members are asked for of a top-level value that is no object, the telemetry
// key is missing, or the telemetry is no object where one is required.
std::optional<VisitFeatures> read_envelope(simdjson::dom::element root, const EnvelopeQuery& query,
                                           std::span<std::optional<simdjson::dom::element>> kept);

}  // namespace veltrix::json
