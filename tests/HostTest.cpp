#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <regex>

#include "Fakes/FakeBridge.h"
#include "Fakes/FakeServices.h"
#include "FileContents.h"
#include "Host/Core/Bridge.h"
#include "Host/Core/HostConfiguration.h"

namespace {

// A plugin of the test's own, which the runtime knows like the application's.
class ProbePlugin : public CAPPlugin {
public:
    using CAPPlugin::CAPPlugin;
    static inline int loads = 0;

    void load() override { ++loads; }
    void fail(const CAPPluginCall&) { throw std::runtime_error("boom"); }
    void console(const CAPPluginCall& call) {
        call.resolve({{"console", platform().console != nullptr}});
    }
};
const CAPPluginClass probeClass(
    "ProbePlugin", &createPlugin<ProbePlugin>,
    {CAPPluginMethod::of<ProbePlugin, &ProbePlugin::fail>("fail"),
     CAPPluginMethod::of<ProbePlugin, &ProbePlugin::console>("console")});

TEST(HostBridgeTest, CreatesEachKnownPluginOnceAndAnswersEveryCall) {
    FakeServices fakes;
    auto answers = std::make_shared<FakeBridge>(fakes.services());
    host::RuntimeClassTable classes;
    auto bridge = std::make_shared<host::Bridge>(
        classes, fakes.services(), std::vector<std::string>{"NoSuchPlugin", "ProbePlugin"});
    ProbePlugin::loads = 0;
    bridge->loadWebApplication();
    bridge->loadWebApplication();
    EXPECT_EQ(ProbePlugin::loads, 1);

    auto call = [&](const std::string& plugin, const std::string& method) {
        bridge->deliver(plugin, CAPPluginCall("1", method, JSObject::object(), answers));
        auto result = answers->answers().back().second;
        return result.resolved ? result.data->dump() : result.message;
    };
    EXPECT_EQ(call("ProbePlugin", "console"), R"({"console":true})");
    EXPECT_EQ(call("ProbePlugin", "fail"), "Internal error: boom");
    EXPECT_EQ(call("ProbePlugin", "load"), "Unknown method: ProbePlugin.load");
    EXPECT_EQ(call("NoSuchPlugin", "fail"), "Unknown plugin: NoSuchPlugin");
    EXPECT_EQ(answers->answers().size(), 4u);

    // A plugin made without a bridge has no services to fall back on.
    EXPECT_THROW(ProbePlugin().console(CAPPluginCall("2", "console", {}, answers)),
                 std::logic_error);
}

TEST(HostConfigurationTest, TheDefaultContainerFollowsTheEnvironment) {
    std::string mine = std::getenv("HOME"), myContainer = mine + "/.local/share/musicshell";
    // $MUSICSHELL_CONTAINER, $XDG_DATA_HOME, $HOME, and the container they give.
    const std::vector<std::array<const char*, 4>> cases = {
        {"/c", "/d", "/h", "/c"},
        {"", "/d", "/h", "/d/musicshell"},
        {nullptr, "/d", "/h", "/d/musicshell"},
        {nullptr, "", "/h", "/h/.local/share/musicshell"},
        {nullptr, nullptr, "/h", "/h/.local/share/musicshell"},
        {nullptr, nullptr, mine.c_str(), myContainer.c_str()},  // as it was
    };
    auto set = [](const char* name, const char* value) {
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    };
    for (const auto& [container, dataHome, home, expected] : cases) {
        set("MUSICSHELL_CONTAINER", container);
        set("XDG_DATA_HOME", dataHome);
        set("HOME", home);
        EXPECT_EQ(host::HostConfiguration::defaultContainer(), expected) << expected;
    }
}

// A command's help speaks of that command (running without one is the main help's matter), and
// the manual page documents each option it offers.
TEST(HostConfigurationTest, EachHelpIsAboutItsOwnCommandAndInTheManual) {
    std::string manual = readWhole(MUSICSHELL_SOURCE_DIR "/desktop/musicshell.1");
    for (std::string command : {"--help", "serve", "stdio", "open", "login", "bundle"}) {
        std::string program = "musicshell", help = "--help";
        char* argv[] = {program.data(), command.data(), help.data()};
        int status = -1;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(host::parseCommandLine(command == "--help" ? 2 : 3, argv, status));
        std::string text = testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, 0);
        EXPECT_EQ(text.find("Without a subcommand") != std::string::npos, command == "--help");
        std::regex option("--([a-z-]+)");
        for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it) {
            std::string escaped = std::regex_replace((*it)[0].str(), std::regex("-"), "\\-");
            EXPECT_NE(manual.find(escaped), std::string::npos) << (*it)[0];
        }
    }
}

}  // namespace
