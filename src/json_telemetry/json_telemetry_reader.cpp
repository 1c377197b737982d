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
    release();
    if (!buffer_ || body.size() > buffer_capacity_) {
        buffer_.reset(new char[body.size() + simdjson::SIMDJSON_PADDING]);
        buffer_capacity_ = body.size();
    }
    std::memcpy(buffer_.get(), body.data(), body.size());
    // The parser may read into the padding; zeroes keep those reads defined.
    std::memset(buffer_.get() + body.size(), 0, simdjson::SIMDJSON_PADDING);
    body_size_ = body.size();
}

std::optional<simdjson::dom::element> JsonTelemetryReader::parse() {
    if (std::string_view(buffer_.get(), body_size_).starts_with(kUtf8ByteOrderMark)) return std::nullopt;
    simdjson::dom::parser* parser =
        body_size_ <= kRetainedBodyBytes ? &parser_ : parser_for_this_body(kRetainedMaxDepth);
    if (!parser) return std::nullopt;
    simdjson::dom::element root;
    simdjson::error_code error = parser->parse(buffer_.get(), body_size_, false).get(root);
    // Every level of a document takes an opening and a closing bracket.
    if (const std::size_t deepest = body_size_ / 2 + 1;
        error == simdjson::DEPTH_ERROR && parser->max_depth() < deepest) {
        parser = parser_for_this_body(deepest);
        if (!parser) return std::nullopt;
        error = parser->parse(buffer_.get(), body_size_, false).get(root);
    }
    if (error != simdjson::SUCCESS) return std::nullopt;
    return root;
}

std::optional<ParsedTelemetry> JsonTelemetryReader::read() {
    std::optional<ParsedTelemetry> parsed;
    if (const auto root = parse()) parsed = read_telemetry_document(*root);
    release();
    return parsed;
}

simdjson::dom::parser* JsonTelemetryReader::parser_for_this_body(std::size_t max_depth) {
    body_parser_ = std::make_unique<simdjson::dom::parser>(body_size_);
    if (body_parser_->allocate(body_size_, max_depth) != simdjson::SUCCESS) return nullptr;
    return body_parser_.get();
}

void JsonTelemetryReader::release() noexcept {
    body_parser_.reset();
    if (buffer_capacity_ <= kRetainedBodyBytes) return;
    buffer_.reset();
    buffer_capacity_ = 0;
    body_size_ = 0;
}

}  // namespace veltrix::json
