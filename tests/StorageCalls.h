#pragma once

#include <gtest/gtest.h>

#include "App/Bridge/Base64.h"
#include "App/Bridge/CAPPluginClass.h"
#include "App/Storage/OfflineStoragePlugin.h"
#include "Fakes/FakeBridge.h"
#include "Fakes/FakeServices.h"

// The offline store's plugin on a file system of the test's choosing, called as the bridge calls
// it, each call checked to be answered exactly once.
class StorageCalls {
public:
    using P = OfflineStoragePlugin;
    using Method = std::string_view;

    void open(std::shared_ptr<platform::FileSystem> files) {
        auto services = fakes.services();
        services.fileSystem = std::move(files);
        bridge = std::make_shared<FakeBridge>(services);
        plugin = std::static_pointer_cast<P>(
            createPlugin<P>(bridge, "OfflineStoragePlugin", "OfflineStoragePlugin"));
    }

    CAPCallResult call(Method method, JSObject options = JSObject::object()) {
        std::size_t before = bridge->answers().size();
        CAPPluginCall pluginCall("1", std::string(method), std::move(options), bridge);
        methodNamed(method).run(*plugin, pluginCall);
        auto answers = bridge->answers();
        EXPECT_EQ(answers.size(), before + 1) << "answered exactly once";
        return answers.back().second;
    }

    // The entry of the plugin's method table, so a call settles its payload as the bridge's does.
    static const CAPPluginMethod& methodNamed(Method name) {
        for (auto* known = CAPPluginClass::first(); known != nullptr; known = known->next()) {
            for (const auto& method : known->description()) {
                if (known->name() == "OfflineStoragePlugin" && method.name == name) {
                    return method;
                }
            }
        }
        throw std::invalid_argument("no method " + std::string(name));
    }

    JSObject resolved(Method method, JSObject options = JSObject::object()) {
        auto result = call(method, std::move(options));
        EXPECT_TRUE(result.resolved) << result.message;
        return result.data.value_or(JSObject());
    }

    std::string rejected(Method method, JSObject options = JSObject::object()) {
        auto result = call(method, std::move(options));
        EXPECT_FALSE(result.resolved);
        return result.message;
    }

    JSObject write(const std::string& name, std::string_view bytes) {
        return resolved("writeFile", {{"filename", name}, {"data", base64::encode(bytes)}});
    }

    std::string read(const std::string& name) {
        std::string text = resolved("readFile", {{"filename", name}})["data"];
        return base64::decode(text).value_or("(not base64)");
    }

    FakeServices fakes;
    std::shared_ptr<FakeBridge> bridge;
    std::shared_ptr<P> plugin;
};
