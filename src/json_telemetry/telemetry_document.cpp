#include "json_telemetry/telemetry_document.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

#include "json_telemetry/json_value_reading.hpp"

namespace veltrix::json {
namespace {

using namespace std::string_view_literals;

// The parser stores at most this count with an array; longer arrays are counted.
constexpr std::size_t kLargestStoredElementCount = 0xFFFFFF;

// The last value of each of `names` in an object, as the dict json.loads makes
// of it keeps the last of duplicate keys. Key names are compared unescaped.
template <std::size_t N>
class LastValues {
  public:
    LastValues(dom::object object, const std::array<std::string_view, N>& names) noexcept {
        for (const dom::key_value_pair field : object) {
            for (std::size_t index = 0; index < N; ++index) {
                if (field.key == names[index]) {
                    values_[index] = field.value;
                    present_[index] = true;
                    break;
                }
            }
        }
    }

    template <class Read>
    auto read(std::size_t index, Read read_value) const noexcept -> decltype(read_value(dom::element())) {
        if (!present_[index]) return std::nullopt;
        return read_value(values_[index]);
    }

  private:
    std::array<dom::element, N> values_{};
    std::array<bool, N> present_{};
};

std::optional<dom::object> read_object(dom::element value) noexcept {
    dom::object object;
    if (value.get_object().get(object) == simdjson::SUCCESS) return object;
    return std::nullopt;
}

std::optional<dom::array> read_array(dom::element value) noexcept {
    dom::array array;
    if (value.get_array().get(array) == simdjson::SUCCESS) return array;
    return std::nullopt;
}

std::uint64_t element_count(dom::array array) noexcept {
    const std::size_t stored = array.size();
    if (stored < kLargestStoredElementCount) return stored;
    std::uint64_t count = 0;
    for ([[maybe_unused]] const dom::element item : array) ++count;
    return count;
}

bool is_finite(const std::optional<double>& value) noexcept { return value && std::isfinite(*value); }

void read_browser(dom::object browser, ParsedTelemetry& parsed) {
    enum Field : std::size_t {
        webdriver,
        screen_width,
        screen_height,
        touch_supported,
        max_touch_points,
        plugins_length
    };
    static constexpr std::array names = {"webdriver"sv,       "screen_width"sv,     "screen_height"sv,
                                         "touch_supported"sv, "max_touch_points"sv, "plugins_length"sv};
    const LastValues fields(browser, names);
    parsed.webdriver = fields.read(webdriver, read_flag).value_or(false);
    // A browser record without a usable screen size marks the screen invalid.
    parsed.screen_width = fields.read(screen_width, read_double).value_or(0.0);
    const auto height = fields.read(screen_height, read_double);
    parsed.screen_height = height.value_or(0.0);
    parsed.screen_valid = height && parsed.screen_width > 0.0 && parsed.screen_height > 0.0;
    parsed.touch_supported = fields.read(touch_supported, read_flag).value_or(false);
    parsed.max_touch_points = fields.read(max_touch_points, read_i64).value_or(0);
    parsed.plugins_length = fields.read(plugins_length, read_i64).value_or(1);
}

// Down time from the first of "t", "down" and "time" that holds a finite number
// (else no record); key text, or "unknown"; release from "up", else down + "duration_ms".
std::optional<KeystrokeRecord> keystroke_from(dom::object entry) {
    enum Field : std::size_t { t, down, time, key, up, duration_ms };
    static constexpr std::array names = {"t"sv, "down"sv, "time"sv, "key"sv, "up"sv, "duration_ms"sv};
    const LastValues fields(entry, names);

    std::optional<double> down_time;
    for (const Field name : {t, down, time}) {
        down_time = fields.read(name, read_double);
        if (is_finite(down_time)) break;
        down_time.reset();
    }
    if (!down_time) return std::nullopt;
    const auto label = fields.read(key, read_text);
    KeystrokeRecord record{KeyLabel(label.value_or(kUnknownKeyLabel)), *down_time, fields.read(up, read_double)};
    if (!record.up) {
        if (const auto duration = fields.read(duration_ms, read_double)) record.up = *down_time + *duration;
    }
    return record;
}

void read_keystrokes(dom::array list, ParsedTelemetry& parsed) {
    std::size_t position = 0;
    for (const dom::element item : list) {
        if (position++ == kMaxKeystrokeListPositions) break;
        const auto entry = read_object(item);
        if (!entry) continue;
        if (auto record = keystroke_from(*entry)) parsed.keystrokes.push_back(std::move(*record));
    }
}

// All five fields are read before the point is judged: x, y and t must be finite.
std::optional<MovementPoint> movement_from(dom::object sample) noexcept {
    enum Field : std::size_t { x, y, t, r, f };
    static constexpr std::array names = {"x"sv, "y"sv, "t"sv, "r"sv, "f"sv};
    const LastValues fields(sample, names);
    const auto x_value = fields.read(x, read_double);
    const auto y_value = fields.read(y, read_double);
    const auto t_value = fields.read(t, read_double);
    if (!is_finite(x_value) || !is_finite(y_value) || !is_finite(t_value)) return std::nullopt;
    return MovementPoint{*x_value, *y_value, *t_value, fields.read(r, read_double).value_or(0.0),
                         fields.read(f, read_double).value_or(0.0)};
}

void read_movements(dom::array list, ParsedTelemetry& parsed) {
    parsed.points.reserve(list.size());
    for (const dom::element item : list) {
        const auto sample = read_object(item);
        if (!sample) continue;
        if (const auto point = movement_from(*sample)) parsed.points.push_back(*point);
    }
}

}  // namespace

ParsedTelemetry read_telemetry_document(dom::element root) {
    enum Field : std::size_t { browser, clicks, scrolls, keystrokes, mouse_movements };
    static constexpr std::array names = {"browser"sv, "clicks"sv, "scrolls"sv, "keystrokes"sv, "mouse_movements"sv};

    ParsedTelemetry parsed;
    const auto visit = read_object(root);
    if (!visit) return parsed;
    const LastValues fields(*visit, names);
    if (const auto object = fields.read(browser, read_object)) read_browser(*object, parsed);
    if (const auto list = fields.read(clicks, read_array)) parsed.click_count = element_count(*list);
    if (const auto list = fields.read(scrolls, read_array)) parsed.scroll_count = element_count(*list);
    if (const auto list = fields.read(keystrokes, read_array)) read_keystrokes(*list, parsed);
    if (const auto list = fields.read(mouse_movements, read_array)) read_movements(*list, parsed);
    return parsed;
}

}  // namespace veltrix::json
