#include "App/Bridge/CAPPluginCall.h"

#include <atomic>
#include <cmath>

#include "App/Bridge/Base64.h"
#include "Platform/Log.h"

CAPCallResult CAPStreamedResult::gathered() const {
    std::string text;
    if (auto failure = source([&text](std::string_view piece) { text.append(piece); })) {
        return {false, std::nullopt, std::move(*failure)};
    }
    JSObject whole = data.is_object() ? data : JSObject::object();
    whole[key] = std::move(text);
    return {true, std::move(whole), {}};
}

struct CAPPluginCall::State {
    std::string callbackId;
    std::string methodName;
    JSObject options;
    std::shared_ptr<CAPCallResponder> responder;
    std::atomic<bool> finished{false};
    std::optional<std::string> payloadKey;
    std::optional<CAPPayload> payload;

    ~State() {
        if (!finished.load()) {
            platform::log("call " + callbackId + " to " + methodName + " was dropped unanswered");
            responder->respond(callbackId, {false, std::nullopt, "Call dropped without an answer"});
        }
    }
};

CAPPluginCall::CAPPluginCall(std::string callbackId, std::string methodName, JSObject options,
                             std::shared_ptr<CAPCallResponder> responder)
    : state_(std::make_shared<State>()) {
    state_->callbackId = std::move(callbackId);
    state_->methodName = std::move(methodName);
    state_->options = options.is_object() ? std::move(options) : JSObject::object();
    state_->responder = std::move(responder);
}

const std::string& CAPPluginCall::callbackId() const {
    return state_->callbackId;
}

const std::string& CAPPluginCall::methodName() const {
    return state_->methodName;
}

const JSObject& CAPPluginCall::options() const {
    return state_->options;
}

namespace {
const JSObject* member(const JSObject& options, std::string_view key) {
    auto found = options.find(key);
    return found == options.end() ? nullptr : &*found;
}

// 2^63 as a double: the first value outside the signed 64-bit range.
constexpr double twoToThe63 = 9223372036854775808.0;
}  // namespace

std::optional<std::string_view> CAPPluginCall::getString(std::string_view key) const {
    const JSObject* value = member(state_->options, key);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    return std::string_view(value->get_ref<const std::string&>());
}

std::optional<std::int64_t> CAPPluginCall::getInt(std::string_view key) const {
    const JSObject* value = member(state_->options, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (value->is_number_integer() && !value->is_number_unsigned()) {
        return value->get<std::int64_t>();
    }
    if (value->is_number_unsigned()) {
        auto number = value->get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(INT64_MAX)) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(number);
    }
    if (value->is_number_float()) {
        double truncated = std::trunc(value->get<double>());
        if (!(truncated >= -twoToThe63 && truncated < twoToThe63)) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(truncated);
    }
    return std::nullopt;
}

std::optional<double> CAPPluginCall::getDouble(std::string_view key) const {
    const JSObject* value = member(state_->options, key);
    if (value == nullptr || !value->is_number()) {
        return std::nullopt;
    }
    return value->get<double>();
}

std::optional<bool> CAPPluginCall::getBool(std::string_view key) const {
    const JSObject* value = member(state_->options, key);
    if (value == nullptr || !value->is_boolean()) {
        return std::nullopt;
    }
    return value->get<bool>();
}

std::optional<CAPPayload> CAPPluginCall::takePayload(std::string_view key) const {
    if (state_->payloadKey != key) {
        return std::nullopt;
    }
    return std::exchange(state_->payload, std::nullopt);
}

void CAPPluginCall::attachPayload(std::optional<std::string> key, CAPPayload payload) {
    state_->payloadKey = std::move(key);
    state_->payload = std::move(payload);
}

void CAPPluginCall::settlePayload(std::optional<std::string_view> key) const {
    auto& state = *state_;
    if (state.payload && !state.payloadKey) {
        if (!key) {
            state.payload.reset();  // bytes for a method that takes none
            return;
        }
        state.payloadKey = *key;
    }
    if (state.payload && state.payloadKey != key) {
        restorePayloadText();
    }
    if (!state.payload && key) {
        decodePayloadText(*key);
    }
}

void CAPPluginCall::restorePayloadText() const {
    auto text = state_->payload->base64Text();
    state_->payload.reset();
    if (!text.ok()) {
        platform::log("call " + state_->callbackId + ": staged " + *state_->payloadKey +
                      " unreadable: " + text.error().description);
        return;
    }
    state_->options[*state_->payloadKey] = std::move(text.value());
}

void CAPPluginCall::decodePayloadText(std::string_view key) const {
    auto found = state_->options.find(key);
    if (found == state_->options.end() || !found->is_string()) {
        return;
    }
    // Decoded where it lies: a file in base64 is the largest text a call carries.
    std::string text = std::move(found->get_ref<std::string&>());
    state_->options.erase(found);
    if (base64::decodeInPlace(text)) {
        state_->payloadKey = key;
        state_->payload.emplace(std::move(text));
    }
}

void CAPPluginCall::resolve() const {
    finish({true, std::nullopt, {}});
}

void CAPPluginCall::resolve(JSObject data) const {
    finish({true, std::move(data), {}});
}

void CAPPluginCall::resolve(JSObject data, std::string key, CAPTextSource source) const {
    if (claimFinish()) {
        state_->responder->respondStreamed(state_->callbackId,
                                           {std::move(data), std::move(key), std::move(source)});
    }
}

void CAPPluginCall::reject(std::string_view message) const {
    finish({false, std::nullopt, std::string(message)});
}

bool CAPPluginCall::isFinished() const {
    return state_->finished.load();
}

bool CAPPluginCall::claimFinish() const {
    if (state_->finished.exchange(true)) {
        platform::log("call " + state_->callbackId + " to " + state_->methodName +
                      " finished a second time; ignored");
        return false;
    }
    return true;
}

void CAPPluginCall::finish(CAPCallResult result) const {
    if (claimFinish()) {
        state_->responder->respond(state_->callbackId, std::move(result));
    }
}
