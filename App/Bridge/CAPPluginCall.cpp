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
    std::string bytesKey;
    std::optional<std::string> bytes;
    std::string stagedKey;
    std::unique_ptr<platform::StagedFile> staged;

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
    restoreStagedText(state_->stagedKey);
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
    restoreStagedText(key);
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

std::optional<std::string> CAPPluginCall::takeString(std::string_view key) const {
    restoreStagedText(key);
    auto found = state_->options.find(key);
    if (found == state_->options.end() || !found->is_string()) {
        return std::nullopt;
    }
    std::string text = std::move(found->get_ref<std::string&>());
    state_->options.erase(found);
    return text;
}

std::optional<std::string> CAPPluginCall::takeBytes(std::string_view key) const {
    if (state_->bytesKey != key) {
        return std::nullopt;
    }
    return std::exchange(state_->bytes, std::nullopt);
}

void CAPPluginCall::attachBytes(std::string key, std::string bytes) {
    state_->bytesKey = std::move(key);
    state_->bytes = std::move(bytes);
}

std::unique_ptr<platform::StagedFile> CAPPluginCall::takeStaged(std::string_view key) const {
    if (state_->stagedKey != key) {
        return nullptr;
    }
    return std::move(state_->staged);
}

void CAPPluginCall::attachStaged(std::string key, std::unique_ptr<platform::StagedFile> bytes) {
    state_->stagedKey = std::move(key);
    state_->staged = std::move(bytes);
}

void CAPPluginCall::restoreStagedText(std::string_view key) const {
    if (!state_->staged || state_->stagedKey != key) {
        return;
    }
    auto staged = std::move(state_->staged);
    auto bytes = staged->content();
    if (!bytes.ok()) {
        platform::log("call " + state_->callbackId + ": staged " + state_->stagedKey +
                      " unreadable: " + bytes.error().description);
        return;
    }
    state_->options[state_->stagedKey] = base64::encode(bytes.value());
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
