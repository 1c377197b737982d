#include "keystrokes/python_keystroke_reading.hpp"

#include "module_surface/lenient_reading.hpp"

namespace veltrix::py {

std::optional<KeystrokeRecord> keystroke_from_dict(PyObject* dict,
                                                   std::initializer_list<const StaticKey*> down_keys) {
    static const StaticKey key_key{"key"}, up_key{"up"}, duration_key{"duration_ms"};
    static constexpr const char* kUnknownKey = "unknown";

    auto down = read_first_finite_double(dict, down_keys);
    if (!down) return std::nullopt;
    KeystrokeRecord record{read_field(dict, key_key, as_owned_text).value_or(kUnknownKey), *down, std::nullopt};
    record.up = read_field(dict, up_key, as_double);
    if (!record.up) {
        if (auto duration = read_field(dict, duration_key, as_double)) record.up = *down + *duration;
    }
    return record;
}

}  // namespace veltrix::py
