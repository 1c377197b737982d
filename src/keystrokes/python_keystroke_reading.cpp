#include "keystrokes/python_keystroke_reading.hpp"

#include "module_surface/convert.hpp"

namespace veltrix::py {

const StaticKey KeystrokeFields::key{"key"};
const StaticKey KeystrokeFields::up{"up"};
const StaticKey KeystrokeFields::duration_ms{"duration_ms"};

std::optional<KeystrokeRecord> keystroke_from_dict(FieldReader& fields,
                                                   std::initializer_list<const StaticKey*> down_keys) {
    static constexpr const char* kUnknownKey = "unknown";

    auto down = fields.read_first_finite_double(down_keys);
    if (!down) return std::nullopt;
    // The label is only looked at while its str is held, never copied.
    const auto label = fields.read(KeystrokeFields::key, as_borrowed_text);
    KeystrokeRecord record{label ? KeyLabel(*label) : KeyLabel(kUnknownKey), *down, std::nullopt};
    record.up = fields.read(KeystrokeFields::up, as_double);
    if (!record.up) {
        if (auto duration = fields.read(KeystrokeFields::duration_ms, as_double)) record.up = *down + *duration;
    }
    return record;
}

}  // namespace veltrix::py
