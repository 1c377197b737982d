#include "keystrokes/python_keystroke_reading.hpp"

#include <cmath>
#include <optional>
#include <string_view>

#include "module_surface/convert.hpp"
#include "module_surface/field_keys.hpp"
#include "module_surface/field_reader.hpp"
#include "module_surface/py_ref.hpp"

namespace veltrix::py {
namespace {

constexpr std::string_view kReleaseType = "up";

using KeystrokeKeys = FieldKeys<7>;

const KeystrokeKeys& keystroke_keys() {
    // In the order of KeystrokeField.
    static const KeystrokeKeys keys({"type", "down", "t", "time", "key", "up", "duration_ms"});
    return keys;
}

std::optional<bool> as_release_type(PyObject* object) noexcept {
    const auto text = as_borrowed_text(object);
    if (!text) return std::nullopt;
    return *text == kReleaseType;
}

// The common dict: exact-str keys, plain numbers and an ASCII label, read
// without running Python code. Declined when a value it needs is anything else.
PlainRead read_plain_keystroke(PyObject* dict, const KeystrokeDictRules& rules, KeystrokeRecord& record) {
    std::array<PyObject*, KeystrokeKeys::kCount> values{};
    const bool walked = keystroke_keys().walk(dict, [&](std::size_t field, PyObject* value) {
        values[field] = value;
        return true;
    });
    if (!walked) return PlainRead::declined;

    if (PyObject* type = values[kTypeField]; rules.skips_releases && type != nullptr) {
        std::string_view text;
        if (!plain_text(type, text)) return PlainRead::declined;
        if (text == kReleaseType) return PlainRead::skipped;
    }
    double down = 0.0;
    bool has_down = false;
    for (const KeystrokeField field : rules.down_time_fields) {
        if (values[field] == nullptr) continue;
        if (!plain_double(values[field], down)) return PlainRead::declined;
        if (std::isfinite(down)) {
            has_down = true;
            break;
        }
    }
    if (!has_down) return PlainRead::skipped;

    KeyLabel label(kUnknownKeyLabel);
    if (PyObject* key = values[kKeyField]) {
        std::string_view text;
        if (!plain_text(key, text)) return PlainRead::declined;
        label = KeyLabel(text);
    }
    std::optional<double> up;
    double number = 0.0;
    if (PyObject* release = values[kUpField]) {
        if (!plain_double(release, number)) return PlainRead::declined;
        up = number;
    } else if (PyObject* duration = values[kDurationField]) {
        if (!plain_double(duration, number)) return PlainRead::declined;
        up = down + number;
    }
    record = KeystrokeRecord{label, down, up};
    return PlainRead::kept;
}

// Every other dict, field by field in the documented order, so that Python code
// run by one conversion sees the fields before it read and no field after it.
[[gnu::noinline]] ItemRead read_keystroke_carefully(PyObject* borrowed_dict, const KeystrokeDictRules& rules,
                                                    KeystrokeRecord& record) {
    const PyRef dict = PyRef::borrow(borrowed_dict);
    FieldReader reader(dict.get(), keystroke_keys());
    const auto outcome = [&](ItemRead otherwise) { return reader.stopped() ? ItemRead::stopped : otherwise; };

    bool release = false;
    if (rules.skips_releases && reader.read(kTypeField, as_release_type, release) && release) {
        return ItemRead::skipped;
    }
    double down = 0.0;
    if (!reader.read_first_finite_double(rules.down_time_fields, down)) return outcome(ItemRead::skipped);
    KeyLabel label(kUnknownKeyLabel);
    reader.read(kKeyField, as_key_label, label);
    std::optional<double> up;
    double number = 0.0;
    if (reader.read(kUpField, as_double, number)) {
        up = number;
    } else if (reader.read(kDurationField, as_double, number)) {
        up = down + number;
    }
    record = KeystrokeRecord{label, down, up};
    return outcome(ItemRead::kept);
}

}  // namespace

// A label is only looked at while its str is held, never copied.
std::optional<KeyLabel> as_key_label(PyObject* object) noexcept {
    const auto text = as_borrowed_text(object);
    if (!text) return std::nullopt;
    return KeyLabel(*text);
}

ItemRead read_keystroke_dict(PyObject* dict, const KeystrokeDictRules& rules, KeystrokeRecord& record) {
    switch (read_plain_keystroke(dict, rules, record)) {
        case PlainRead::kept: return ItemRead::kept;
        case PlainRead::skipped: return ItemRead::skipped;
        case PlainRead::declined: break;
    }
    return read_keystroke_carefully(dict, rules, record);
}

}  // namespace veltrix::py
