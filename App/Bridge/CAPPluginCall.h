#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "App/Bridge/JSObject.h"
#include "Platform/FileSystem.h"

// How a call ends: resolved with optional data, or rejected with a message.
struct CAPCallResult {
    bool resolved = false;
    std::optional<JSObject> data;
    std::string message;
};

// A text too large to hold whole, such as a file in base64: it hands its pieces, in order, to
// `piece`, and gives nothing once the text is complete, or the message to reject the call with
// when it cannot be completed. Its pieces need no escaping in JSON.
using CAPTextSource =
    std::function<std::optional<std::string>(const std::function<void(std::string_view)>& piece)>;

// A resolution whose data has one more member, `key`, with the text of `source`: produced while
// the answer is written. Should the text fail, the call ends rejected all the same.
struct CAPStreamedResult {
    JSObject data;
    std::string key;
    CAPTextSource source;

    // The plain result: the text produced in full into `data`, or the rejection.
    CAPCallResult gathered() const;
};

// Whoever carries a call's answer back to the web application. Safe from any thread.
class CAPCallResponder {
public:
    virtual ~CAPCallResponder() = default;
    // `callbackId` is the raw JSON text of the caller's id.
    virtual void respond(const std::string& callbackId, CAPCallResult result) = 0;
    // By default the text is gathered whole first and answered through `respond`; a transport
    // that can write an answer in parts streams it. The source runs on the calling thread.
    virtual void respondStreamed(const std::string& callbackId, CAPStreamedResult result) {
        respond(callbackId, result.gathered());
    }
};

// One call of the web application: its arguments and the means to answer it. A cheap handle:
// copies share one call, which a method may keep after it returns and finish later from any
// thread. The first finish answers; later ones are logged and ignored. A call whose last handle
// goes away unfinished is rejected, so no caller waits forever.
class CAPPluginCall {
public:
    CAPPluginCall(std::string callbackId, std::string methodName, JSObject options,
                  std::shared_ptr<CAPCallResponder> responder);

    const std::string& callbackId() const;
    const std::string& methodName() const;
    const JSObject& options() const;

    // Text only; the view stays valid while any handle of this call exists.
    std::optional<std::string_view> getString(std::string_view key) const;
    // A number without fraction as is, a fractional one truncated toward zero; nothing for
    // other kinds or numbers outside the 64-bit range.
    std::optional<std::int64_t> getInt(std::string_view key) const;
    // Any number.
    std::optional<double> getDouble(std::string_view key) const;
    // Text only, moved out of the call, so a method can work on a large argument in place;
    // the key reads as absent afterwards. Only for the method that runs the call.
    std::optional<std::string> takeString(std::string_view key) const;
    // Raw bytes a transport handed over for an argument instead of its base64 text (a page's
    // binary message); moved out of the call. Only for the method that runs the call.
    std::optional<std::string> takeBytes(std::string_view key) const;
    // For the transport, before the call is delivered.
    void attachBytes(std::string key, std::string bytes);
    // The bytes of an argument's base64 text, decoded by the transport as the text arrived and
    // staged on disk, so a large file is stored without ever being held. The argument reads as
    // that text all the same, encoded again when first asked for. Moved out of the call by
    // `takeStaged`, only for the method that runs the call.
    std::unique_ptr<platform::StagedFile> takeStaged(std::string_view key) const;
    // For the transport, before the call is delivered.
    void attachStaged(std::string key, std::unique_ptr<platform::StagedFile> bytes);

    void resolve() const;
    void resolve(JSObject data) const;
    // Resolves with `data` plus the member `key`, whose text `source` produces as the answer is
    // written (see CAPStreamedResult).
    void resolve(JSObject data, std::string key, CAPTextSource source) const;
    void reject(std::string_view message) const;
    bool isFinished() const;

private:
    struct State;
    void finish(CAPCallResult result) const;
    // True for the first finish only.
    bool claimFinish() const;
    // Puts the text of staged bytes among the options, for a method that reads it as text.
    void restoreStagedText(std::string_view key) const;

    std::shared_ptr<State> state_;
};
