#pragma once

#include <string>

#include <nlohmann/json.hpp>

// A plugin call as a client writes it on the host's protocol.
inline nlohmann::json pluginRequest(const nlohmann::json& id, const std::string& plugin,
                                    const std::string& method,
                                    nlohmann::json options = nlohmann::json::object()) {
    return {{"id", id}, {"plugin", plugin}, {"method", method}, {"options", std::move(options)}};
}
