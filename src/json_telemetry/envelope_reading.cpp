#include "json_telemetry/envelope_reading.hpp"

#include <algorithm>
#include <cstddef>

#include "json_telemetry/telemetry_document.hpp"

namespace veltrix::json {

std::optional<VisitFeatures> read_envelope(simdjson::dom::element root, const EnvelopeQuery& query,
                                           std::span<std::optional<simdjson::dom::element>> kept) {
    std::optional<simdjson::dom::element> telemetry = root;
    if (query.telemetry_key || !query.kept_names.empty()) {
        simdjson::dom::object members;
        if (root.get_object().get(members) != simdjson::SUCCESS) return std::nullopt;
        if (query.telemetry_key) telemetry.reset();
        std::fill(kept.begin(), kept.end(), std::nullopt);
        for (const simdjson::dom::key_value_pair member : members) {
            if (query.telemetry_key && member.key == *query.telemetry_key) telemetry = member.value;
            // Every name is looked at: the telemetry may be kept too.
            for (std::size_t index = 0; index < query.kept_names.size(); ++index) {
                if (member.key == query.kept_names[index]) kept[index] = member.value;
            }
        }
    }
    if (!telemetry || (query.telemetry_must_be_object && !telemetry->is_object())) return std::nullopt;
    return compute_visit_features(read_telemetry_document(*telemetry));
}

}  // namespace veltrix::json
