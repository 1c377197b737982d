#include "json_telemetry/json_telemetry_reader.hpp"

#include <cstring>

#include "json_telemetry/telemetry_document.hpp"

namespace veltrix::json {
namespace {

// Bodies up to this size leave their buffers with the reader for the next
// body (about 14 bytes of parser memory per body byte); a larger one gets
// memory for its own reading only. Browsers send visits of up to about 50 KiB.
constexpr std::size_t kRetainedBodyBytes = 128u << 10;
// Nesting the kept parser has room for; a deeper body is read again by a parser
// made for its depth.
constexpr std::size_t kRetainedMaxDepth = simdjson::DEFAULT_MAX_DEPTH;

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

JsonTelemetryReader::JsonTelemetryReader() : parser_(kRetainedBodyBytes) {}

void JsonTelemetryReader::load(std::string_view body) {
    if (!buffer_ || body.size() > buffer_capacity_) {
        buffer_.reset(new char[body.size() + simdjson::SIMDJSON_PADDING]);
        buffer_capacity_ = body.size();
    }
    std::memcpy(buffer_.get(), body.data(), body.size());
    // The parser may read into the padding; zeroes keep those reads defined.
    std::memset(buffer_.get() + body.size(), 0, simdjson::SIMDJSON_PADDING);
    body_size_ = body.size();
}

std::optional<ParsedTelemetry> JsonTelemetryReader::read() {
    std::optional<ParsedTelemetry> parsed;
    if (!std::string_view(buffer_.get(), body_size_).starts_with(kUtf8ByteOrderMark)) {
        parsed =
            body_size_ <= kRetainedBodyBytes ? read_with(parser_) : read_with_parser_for_this_body(kRetainedMaxDepth);
    }
    drop_oversized_buffer();
    return parsed;
}

std::optional<ParsedTelemetry> JsonTelemetryReader::read_with(simdjson::dom::parser& parser) {
    simdjson::dom::element root;
    const simdjson::error_code error = parser.parse(buffer_.get(), body_size_, false).get(root);
    if (error == simdjson::DEPTH_ERROR && parser.max_depth() < body_size_ / 2 + 1) {
        // Every level of a document takes an opening and a closing bracket.
        return read_with_parser_for_this_body(body_size_ / 2 + 1);
    }
    if (error != simdjson::SUCCESS) return std::nullopt;
    return read_telemetry_document(root);
}

std::optional<ParsedTelemetry> JsonTelemetryReader::read_with_parser_for_this_body(std::size_t max_depth) {
    simdjson::dom::parser parser(body_size_);
    if (parser.allocate(body_size_, max_depth) != simdjson::SUCCESS) return std::nullopt;
    return read_with(parser);
}

void JsonTelemetryReader::drop_oversized_buffer() noexcept {
    if (buffer_capacity_ <= kRetainedBodyBytes) return;
    buffer_.reset();
    buffer_capacity_ = 0;
    body_size_ = 0;
}

}  // namespace veltrix::json
