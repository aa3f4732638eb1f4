#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "App/Bridge/CAPPayload.h"
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
    // true or false only.
    std::optional<bool> getBool(std::string_view key) const;
    // The bytes of the method's payload argument (see CAPPayload), moved out of the call; nothing
    // when the argument is missing or is not valid base64. Only for the method that runs the call.
    std::optional<CAPPayload> takePayload(std::string_view key) const;
    // For the transport, before the call is delivered: bytes it carried for argument `key`
    // (nothing: the method's payload argument, whatever its name) instead of base64 text.
    void attachPayload(std::optional<std::string> key, CAPPayload payload);
    // For the bridge, before the method runs, `key` naming the method's payload argument, if it
    // takes one: base64 text there becomes the payload's bytes, and bytes a transport attached
    // for any other argument become its text again.
    void settlePayload(std::optional<std::string_view> key) const;

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
    // The attached bytes become their argument's base64 text again.
    void restorePayloadText() const;
    // The argument's base64 text becomes the payload's bytes; invalid text is dropped.
    void decodePayloadText(std::string_view key) const;

    std::shared_ptr<State> state_;
};
