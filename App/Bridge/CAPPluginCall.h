#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "App/Bridge/JSObject.h"

// How a call ends: resolved with optional data, or rejected with a message.
struct CAPCallResult {
    bool resolved = false;
    std::optional<JSObject> data;
    std::string message;
};

// Whoever carries a call's answer back to the web application. Safe from any thread.
class CAPCallResponder {
public:
    virtual ~CAPCallResponder() = default;
    // `callbackId` is the raw JSON text of the caller's id.
    virtual void respond(const std::string& callbackId, CAPCallResult result) = 0;
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

    void resolve() const;
    void resolve(JSObject data) const;
    void reject(std::string_view message) const;
    bool isFinished() const;

private:
    struct State;
    void finish(CAPCallResult result) const;

    std::shared_ptr<State> state_;
};
