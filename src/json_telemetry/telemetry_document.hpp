#pragma once
// The telemetry fields of a parsed JSON document, read by the rules the dict
// reader applies to json.loads' objects: a missing key, a value of the wrong
// kind or a failed conversion leaves the field's default or skips the one list
// item, and of duplicate keys only the last one counts.

#include <simdjson.h>

#include "kinematics/parsed_telemetry.hpp"

namespace veltrix::json {

// Anything but an object reads as an empty visit.
ParsedTelemetry read_telemetry_document(simdjson::dom::element root);

}  // namespace veltrix::json
