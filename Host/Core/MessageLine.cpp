#include "Host/Core/MessageLine.h"

#include <simdjson.h>

namespace host {

namespace {
// Strings this long are written from where they lie instead of being copied into the line.
constexpr std::size_t referenceThreshold = 4096;

bool needsEscaping(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == '"' || c == '\\') {
            return true;
        }
    }
    return !simdjson::validate_utf8(text.data(), text.size());
}

// Whether the value is or holds a string (or a key) long enough to be borrowed: only those are
// taken apart; every other value is written whole by the JSON library, in one pass.
bool holdsLongString(const JSObject& value) {
    if (value.is_string()) {
        return value.get_ref<const std::string&>().size() >= referenceThreshold;
    }
    if (value.is_object()) {
        for (const auto& [key, member] : value.items()) {
            if (key.size() >= referenceThreshold || holdsLongString(member)) {
                return true;
            }
        }
    } else if (value.is_array()) {
        for (const auto& element : value) {
            if (holdsLongString(element)) {
                return true;
            }
        }
    }
    return false;
}
}  // namespace

void MessageLine::raw(std::string_view text) {
    if (!pieces_.empty() && pieces_.back().borrowed == nullptr) {
        pieces_.back().length += text.size();
    } else {
        pieces_.push_back({nullptr, buffer_.size(), text.size()});
    }
    buffer_.append(text);
}

void MessageLine::string(std::string_view text) {
    if (text.size() >= referenceThreshold && !needsEscaping(text)) {
        raw("\"");
        pieces_.push_back({text.data(), 0, text.size()});
        raw("\"");
        return;
    }
    raw(JSObject(std::string(text)).dump(-1, ' ', false, JSObject::error_handler_t::replace));
}

void MessageLine::value(const JSObject& value) {
    if (!holdsLongString(value)) {
        raw(value.dump(-1, ' ', false, JSObject::error_handler_t::replace));
    } else if (value.is_string()) {
        string(value.get_ref<const std::string&>());
    } else if (value.is_object()) {
        raw("{");
        bool first = true;
        for (const auto& [key, member] : value.items()) {
            raw(first ? "" : ",");
            first = false;
            string(key);
            raw(":");
            this->value(member);
        }
        raw("}");
    } else {
        raw("[");
        bool first = true;
        for (const auto& element : value) {
            raw(first ? "" : ",");
            first = false;
            this->value(element);
        }
        raw("]");
    }
}

std::vector<std::string_view> MessageLine::views() const {
    std::vector<std::string_view> views;
    views.reserve(pieces_.size());
    for (const Piece& piece : pieces_) {
        const char* start = piece.borrowed ? piece.borrowed : buffer_.data() + piece.offset;
        views.emplace_back(start, piece.length);
    }
    return views;
}

std::string MessageLine::text() const {
    std::string text;
    for (std::string_view view : views()) {
        text.append(view);
    }
    return text;
}

MessageLine MessageLine::answer(std::string_view rawId, const CAPCallResult& result) {
    MessageLine line;
    line.raw("{\"id\":");
    line.raw(rawId);
    if (!result.resolved) {
        line.raw(",\"ok\":false,\"message\":");
        line.string(result.message);
    } else if (result.data) {
        line.raw(",\"ok\":true,\"data\":");
        line.value(*result.data);
    } else {
        line.raw(",\"ok\":true");
    }
    line.raw("}");
    return line;
}

MessageLine MessageLine::event(std::string_view pluginName, std::string_view eventName,
                               const JSObject& data) {
    MessageLine line;
    line.raw("{\"event\":");
    line.string(eventName);
    line.raw(",\"plugin\":");
    line.string(pluginName);
    line.raw(",\"data\":");
    line.value(data);
    line.raw("}");
    return line;
}

void MessageLine::printStreamedAnswer(platform::Console& console, std::string_view rawId,
                                      const CAPStreamedResult& result) {
    console.printLineInParts(
        [&](const platform::Console::Pieces& write) { writeStreamedAnswer(rawId, result, write); });
}

void MessageLine::writeStreamedAnswer(std::string_view rawId, const CAPStreamedResult& result,
                                      const platform::Console::Pieces& write) {
    // {"id": ID, "data": {..., KEY: "TEXT"}, "ok": ...}: "ok" comes last, as whether the text
    // can be completed is known only at its end.
    MessageLine head;
    head.raw("{\"id\":");
    head.raw(rawId);
    head.raw(",\"data\":{");
    if (result.data.is_object()) {
        for (const auto& [key, member] : result.data.items()) {
            head.string(key);
            head.raw(":");
            head.value(member);
            head.raw(",");
        }
    }
    head.string(result.key);
    head.raw(":\"");
    write(head.views());
    auto failure = result.source([&write](std::string_view piece) { write({&piece, 1}); });
    MessageLine tail;
    if (failure) {
        tail.raw("\"},\"ok\":false,\"message\":");
        tail.string(*failure);
        tail.raw("}");
    } else {
        tail.raw("\"},\"ok\":true}");
    }
    write(tail.views());
}

void MessageLine::printAnswer(platform::Console& console, std::string_view rawId,
                              const CAPCallResult& result) {
    console.printLine(answer(rawId, result).views());
}

std::string MessageLine::answerText(std::string_view rawId, const CAPCallResult& result) {
    return answer(rawId, result).text();
}

void MessageLine::printEvent(platform::Console& console, std::string_view pluginName,
                             std::string_view eventName, const JSObject& data) {
    console.printLine(event(pluginName, eventName, data).views());
}

std::string MessageLine::eventText(std::string_view pluginName, std::string_view eventName,
                                   const JSObject& data) {
    return event(pluginName, eventName, data).text();
}

}  // namespace host
