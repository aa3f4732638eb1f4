#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "App/Bridge/CAPPluginCall.h"
#include "App/Bridge/JSObject.h"
#include "Platform/Console.h"

namespace host {

// Message lines: answers and events. Each line is built and written out within one call, so it
// may borrow the caller's long strings rather than copy them: those that need no escaping are
// written straight from where they lie, with the rest of the line, in one go.
class MessageLine {
public:
    // {"id": ID, "ok": true[, "data": {...}]} or {"id": ID, "ok": false, "message": M}
    static void printAnswer(platform::Console& console, std::string_view rawId,
                            const CAPCallResult& result);
    static std::string answerText(std::string_view rawId, const CAPCallResult& result);
    // {"id": ID, "data": {..., KEY: "TEXT"}, "ok": true} written while the text is produced, so
    // it is never held whole; "ok" comes last and is false, followed by the message, when the
    // text could not be completed.
    static void printStreamedAnswer(platform::Console& console, std::string_view rawId,
                                    const CAPStreamedResult& result);
    // {"event": E, "plugin": P, "data": {...}}
    static void printEvent(platform::Console& console, std::string_view pluginName,
                           std::string_view eventName, const JSObject& data);
    static std::string eventText(std::string_view pluginName, std::string_view eventName,
                                 const JSObject& data);

private:
    struct Piece {
        const char* borrowed = nullptr;  // null: `length` bytes of `buffer_` from `offset`
        std::size_t offset = 0;
        std::size_t length = 0;
    };

    // The returned lines borrow from the arguments: they must not outlive the full expression.
    static MessageLine answer(std::string_view rawId, const CAPCallResult& result);
    static void writeStreamedAnswer(std::string_view rawId, const CAPStreamedResult& result,
                                    const platform::Console::Pieces& write);
    static MessageLine event(std::string_view pluginName, std::string_view eventName,
                             const JSObject& data);

    void raw(std::string_view text);
    void string(std::string_view text);
    void value(const JSObject& value);
    std::vector<std::string_view> views() const;
    std::string text() const;

    std::string buffer_;
    std::vector<Piece> pieces_;
};

}  // namespace host
