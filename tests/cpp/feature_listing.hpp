#pragma once
// Flattens a VisitFeatures into its ordered (key, typed value) entries, so tests
// can compare whole records and see the value types the dictionary will get.

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kinematics/visit_features.hpp"

namespace veltrix::testing {

using FeatureValue = std::variant<std::uint64_t, std::int64_t, double, bool>;
using FeatureListing = std::vector<std::pair<std::string, FeatureValue>>;

inline FeatureListing list_features(const VisitFeatures& features) {
    FeatureListing listing;
    for_each_feature(features, [&listing](std::string_view key, auto value) {
        listing.emplace_back(std::string(key), FeatureValue(value));
    });
    return listing;
}

}  // namespace veltrix::testing
