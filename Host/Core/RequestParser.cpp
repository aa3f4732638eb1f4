#include "Host/Core/RequestParser.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>

#include <simdjson.h>

namespace ondemand = simdjson::ondemand;

namespace host {

namespace {
constexpr std::size_t referenceThreshold = 4096;
// Deeper nesting than any real request needs; the limit keeps conversion off the stack's end.
constexpr int maxDepth = 256;

class Malformed : public std::exception {
public:
    explicit Malformed(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

template <class T>
T take(simdjson::simdjson_result<T> result) {
    T value{};
    if (std::move(result).get(value) != simdjson::SUCCESS) {
        throw Malformed("Malformed request: not JSON");
    }
    return value;
}

// The text between the quotes of a string token, which may carry white space after it.
std::string_view unquoted(std::string_view token) {
    std::size_t close = token.rfind('"');
    return token.substr(1, close - 1);
}

std::string_view trimmedToken(ondemand::value& value) {
    std::string_view token = value.raw_json_token();
    while (!token.empty() &&
           std::string_view(" \t\r\n").find(token.back()) != std::string_view::npos) {
        token.remove_suffix(1);
    }
    return token;
}

// An integer too long for 64 bits, which simdjson refuses; a web page reads it as a double.
bool isBigInteger(std::string_view token) {
    std::string_view digits = token.starts_with('-') ? token.substr(1) : token;
    if (digits.size() < 19 || digits.front() == '0' ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    std::int64_t signedValue = 0;
    std::uint64_t unsignedValue = 0;
    const char* end = token.data() + token.size();
    return token.starts_with('-') ? std::from_chars(token.data(), end, signedValue).ec ==
                                        std::errc::result_out_of_range
                                  : std::from_chars(token.data(), end, unsignedValue).ec ==
                                        std::errc::result_out_of_range;
}

JSObject convertNumber(ondemand::value& value) {
    std::string_view token = trimmedToken(value);
    if (isBigInteger(token)) {
        return std::strtod(std::string(token).c_str(), nullptr);
    }
    switch (take(value.get_number_type())) {
        case ondemand::number_type::signed_integer:
            return take(value.get_int64());
        case ondemand::number_type::unsigned_integer:
            return take(value.get_uint64());
        case ondemand::number_type::floating_point_number:
            break;
    }
    return take(value.get_double());
}

// Turns simdjson values into JSON objects that own all their text. A long string without
// escapes is not copied while the line is still being read: it stands in the tree as a
// placeholder naming its bytes in the line. `fill` then replaces the placeholders that are still
// in the finished tree (a repeated key drops the earlier value), the longest by taking over the
// line's own buffer, which already holds its bytes.
class Converter {
public:
    JSObject convert(ondemand::value value, const std::string& line, int depth) {
        if (depth > maxDepth) {
            throw Malformed("Malformed request: nested too deeply");
        }
        switch (take(value.type())) {
            case ondemand::json_type::object: {
                JSObject object = JSObject::object();
                for (auto field : take(value.get_object())) {
                    std::string key(take(field.unescaped_key()));
                    object[key] = convert(take(field.value()), line, depth + 1);
                }
                return object;
            }
            case ondemand::json_type::array: {
                JSObject array = JSObject::array();
                for (auto element : take(value.get_array())) {
                    array.push_back(convert(take(std::move(element)), line, depth + 1));
                }
                return array;
            }
            case ondemand::json_type::number:
                return convertNumber(value);
            case ondemand::json_type::string:
                return convertString(value, line);
            case ondemand::json_type::boolean:
                return take(value.get_bool());
            case ondemand::json_type::null:
                if (!take(value.is_null())) {
                    throw Malformed("Malformed request: not JSON");
                }
                return nullptr;
        }
        throw Malformed("Malformed request: not JSON");
    }

    // Puts the text of every placeholder left in `tree`; the line is given up to the longest.
    void fill(JSObject& tree, std::string line) const {
        if (spans_.empty()) {
            return;
        }
        std::vector<JSObject*> placeholders;
        collectPlaceholders(tree, placeholders);
        auto longest = std::max_element(placeholders.begin(), placeholders.end(),
                                        [this](const JSObject* a, const JSObject* b) {
                                            return spanOf(*a).length < spanOf(*b).length;
                                        });
        for (auto each = placeholders.begin(); each != placeholders.end(); ++each) {
            if (each != longest) {
                Span span = spanOf(**each);
                **each = line.substr(span.offset, span.length);
            }
        }
        if (longest != placeholders.end()) {
            Span span = spanOf(**longest);
            line.erase(0, span.offset);
            line.resize(span.length);
            **longest = std::move(line);
        }
    }

private:
    struct Span {
        std::size_t offset;
        std::size_t length;
    };

    JSObject convertString(ondemand::value& value, const std::string& line) {
        std::string_view raw = unquoted(value.raw_json_token());
        if (raw.find('\\') != std::string_view::npos) {
            return std::string(take(value.get_string()));
        }
        if (raw.size() < referenceThreshold) {
            return std::string(raw);
        }
        // A binary value never comes out of JSON text, so it cannot be mistaken for data.
        spans_.push_back({static_cast<std::size_t>(raw.data() - line.data()), raw.size()});
        return JSObject::binary({}, spans_.size() - 1);
    }

    Span spanOf(const JSObject& placeholder) const {
        return spans_[placeholder.get_binary().subtype()];
    }

    static void collectPlaceholders(JSObject& value, std::vector<JSObject*>& found) {
        if (value.is_binary()) {
            found.push_back(&value);
        } else if (value.is_structured()) {
            for (JSObject& member : value) {
                collectPlaceholders(member, found);
            }
        }
    }

    std::vector<Span> spans_;
};

std::string textMember(JSObject& members, const char* key) {
    auto found = members.find(key);
    if (found == members.end()) {
        return {};
    }
    if (!found->is_string()) {
        throw Malformed(std::string("Malformed request: ") + key + " must be a string");
    }
    std::string text = std::move(found->get_ref<std::string&>());
    members.erase(found);
    return text;
}

}  // namespace

struct RequestParser::Impl {
    ondemand::parser parser;

    Request read(std::string line, std::string& id) {
        Converter converter;
        simdjson::padded_string_view input(line.data(), line.size(), line.capacity());
        ondemand::document document;
        if (parser.iterate(input).get(document) != simdjson::SUCCESS) {
            throw Malformed("Malformed request: not JSON");
        }
        ondemand::object object;
        ondemand::json_type type{};
        if (document.type().get(type) != simdjson::SUCCESS) {
            throw Malformed("Malformed request: not JSON");
        }
        if (type != ondemand::json_type::object) {
            // Such lines are short in practice; tell broken text from a valid non-object.
            throw Malformed(JSObject::accept(line) ? "Malformed request: not an object"
                                                   : "Malformed request: not JSON");
        }
        object = take(document.get_object());
        Request request;
        for (auto field : object) {
            std::string key(take(field.unescaped_key()));
            ondemand::value value = take(field.value());
            if (key == "id") {
                ondemand::json_type idType = take(value.type());
                if (idType != ondemand::json_type::string &&
                    idType != ondemand::json_type::number) {
                    throw Malformed("Malformed request: id must be a string or a number");
                }
                std::string text(trimmedToken(value));
                converter.convert(value, line, 0);  // checks the token
                id = request.id = std::move(text);
                continue;
            }
            request.members[key] = converter.convert(value, line, 1);
        }
        const char* trailing = nullptr;
        if (document.current_location().get(trailing) == simdjson::SUCCESS) {
            throw Malformed("Malformed request: not JSON");
        }
        converter.fill(request.members, std::move(line));
        return request;
    }
};

std::size_t RequestParser::padding() {
    return simdjson::SIMDJSON_PADDING;
}

RequestParser::RequestParser() : impl_(std::make_unique<Impl>()) {}

RequestParser::~RequestParser() = default;

ParsedRequest RequestParser::parse(std::string line) {
    ParsedRequest parsed;
    try {
        Request request = impl_->read(std::move(line), parsed.id);
        request.plugin = textMember(request.members, "plugin");
        request.host = textMember(request.members, "host");
        if (!request.plugin.empty() && !request.host.empty()) {
            throw Malformed("Malformed request: both plugin and host");
        }
        if (request.plugin.empty() && request.host.empty()) {
            throw Malformed("Malformed request: no plugin or host");
        }
        if (!request.plugin.empty()) {
            request.method = textMember(request.members, "method");
            if (request.method.empty()) {
                throw Malformed("Malformed request: no method");
            }
            auto options = request.members.find("options");
            if (options != request.members.end()) {
                if (!options->is_object()) {
                    throw Malformed("Malformed request: options must be an object");
                }
                request.options = std::move(*options);
            }
        }
        parsed.request = std::move(request);
    } catch (const Malformed& error) {
        parsed.error = error.what();
    }
    return parsed;
}

}  // namespace host
