#pragma once
// Parsing one JSON body into a document read by the rules that reading
// json.loads(body) as a dict follows. Plain C++: the body is copied in first,
// so parsing it touches no interpreter object and may run without the
// interpreter lock.
//
// Which road a body takes:
//   parsed here every body the parser accepts: integers of up to 64 bits
//               ("-0" is the int 0), duplicate keys (the last one counts),
//               escapes in key names, nesting of any depth, a top-level value
//               that is not an object.
//   nothing     (the caller asks json.loads, which then raises or reads exactly)
//               every body the parser refuses: text that is not JSON, NaN and
//               Infinity literals, invalid UTF-8, UTF-8 encoded surrogates
//               (json.loads decodes bytes with "surrogatepass"), UTF-16 and
//               UTF-32 (their NUL bytes are not JSON), escapes of lone
//               surrogates, integers beyond 64 bits, numbers beyond the double
//               range, bodies of 4 GiB or more; and a leading UTF-8 byte-order
//               mark, which json.loads skips in bytes but refuses in str.

#include <simdjson.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "kinematics/parsed_telemetry.hpp"

namespace veltrix::json {

class JsonTelemetryReader {
  public:
    JsonTelemetryReader();

    // Copies the body into the reader's padded buffer. The body's owner only
    // has to keep it unchanged during this call.
    void load(std::string_view body);

    // The root of the loaded body's document, or nothing when the body must be
    // read by json.loads (see above). The document stays valid until release()
    // or the next load().
    std::optional<simdjson::dom::element> parse();

    // Frees what an oversized or deep body needed; the retained parser stays.
    void release() noexcept;

    // The telemetry of the loaded body (its whole document), or nothing as for parse().
    std::optional<ParsedTelemetry> read();

  private:
    // A parser with room for this body at `max_depth` (kept until release()), or null.
    simdjson::dom::parser* parser_for_this_body(std::size_t max_depth);

    simdjson::dom::parser parser_;                        // kept between bodies up to the retained size
    std::unique_ptr<simdjson::dom::parser> body_parser_;  // for one body beyond the retained size or depth
    std::unique_ptr<char[]> buffer_;
    std::size_t buffer_capacity_ = 0;  // bytes before the padding
    std::size_t body_size_ = 0;
};

}  // namespace veltrix::json
