#include "Host/Web/FileReply.h"

#include <charconv>

namespace host {

namespace {
std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// A whole decimal number; an out-of-range one reads as the largest.
std::optional<std::uint64_t> number(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (end != text.data() + text.size()) {
        return std::nullopt;
    }
    return error == std::errc::result_out_of_range ? UINT64_MAX : value;
}

// What a Range header asks of a file of `size` bytes.
struct RequestedRange {
    enum class Kind { whole, part, unsatisfiable };
    Kind kind = Kind::whole;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

RequestedRange requestedRange(std::string_view header, std::uint64_t size) {
    using Kind = RequestedRange::Kind;
    header = trimmed(header);
    if (!header.starts_with("bytes=") || header.find(',') != std::string_view::npos) {
        return {};
    }
    std::string_view spec = trimmed(header.substr(6));
    std::size_t dash = spec.find('-');
    if (dash == std::string_view::npos) {
        return {};
    }
    std::string_view firstText = spec.substr(0, dash);
    std::string_view lastText = spec.substr(dash + 1);
    auto first = number(firstText);
    auto last = number(lastText);
    if ((!first && !firstText.empty()) || (!last && !lastText.empty())) {
        return {};
    }
    if (!first) {
        // The last `last` bytes.
        if (!last) {
            return {};
        }
        if (*last == 0 || size == 0) {
            return {Kind::unsatisfiable};
        }
        return {Kind::part, size - std::min(*last, size), size - 1};
    }
    if (last && *last < *first) {
        return {};
    }
    if (*first >= size) {
        return {Kind::unsatisfiable};
    }
    return {Kind::part, *first, std::min(last.value_or(size - 1), size - 1)};
}

// Whether an If-None-Match list names the tag (weakly, as that field compares).
bool listNames(std::string_view list, std::string_view tag) {
    while (!list.empty()) {
        std::size_t comma = list.find(',');
        std::string_view item = trimmed(list.substr(0, comma));
        if (item.starts_with("W/")) {
            item.remove_prefix(2);
        }
        if (item == "*" || item == tag) {
            return true;
        }
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
    return false;
}
}  // namespace

FileReply FileReply::plan(const ServedFile& file, std::string_view contentType,
                          const Conditions& conditions) {
    FileReply reply;
    std::string tag = file.entityTag();
    reply.headers = {{"ETag", tag},
                     {"Last-Modified", file.lastModified()},
                     {"Cache-Control", "no-cache"},
                     {"Accept-Ranges", "bytes"}};
    if (conditions.ifNoneMatch && listNames(*conditions.ifNoneMatch, tag)) {
        reply.status = 304;
        return reply;
    }
    reply.headers.emplace_back("Content-Type", contentType);
    reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
    std::uint64_t size = file.size();
    RequestedRange range;
    // A range of another version of the file would splice two versions together.
    if (conditions.range && (!conditions.ifRange || trimmed(*conditions.ifRange) == tag)) {
        range = requestedRange(*conditions.range, size);
    }
    std::uint64_t length = size;
    switch (range.kind) {
        case RequestedRange::Kind::whole:
            break;
        case RequestedRange::Kind::unsatisfiable:
            reply.status = 416;
            reply.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
            reply.headers.emplace_back("Content-Length", "0");
            return reply;
        case RequestedRange::Kind::part:
            reply.status = 206;
            reply.first = range.first;
            length = range.last - range.first + 1;
            reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(range.first) +
                                                            "-" + std::to_string(range.last) + "/" +
                                                            std::to_string(size));
            break;
    }
    reply.headers.emplace_back("Content-Length", std::to_string(length));
    reply.length = conditions.headOnly ? 0 : length;
    return reply;
}

}  // namespace host
