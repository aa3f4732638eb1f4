#include "Host/Process/PackageBundle.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Host/Process/SiblingProgram.h"
#include "Platform/Log.h"

namespace host {

namespace {
// The manual of an installed musicshell, else the one of the source tree it was built from.
std::filesystem::path manualPage() {
    std::error_code error;
    auto prefix =
        std::filesystem::read_symlink("/proc/self/exe", error).parent_path().parent_path();
    auto installed = prefix / "share/man/man1/musicshell.1";
    return std::filesystem::is_regular_file(installed, error) ? installed : MUSICSHELL_MANUAL_PAGE;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

void exportManifest(const AppManifest& manifest) {
    auto set = [](const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); };
    set("BUNDLE_ID", manifest.id);
    set("BUNDLE_NAME", manifest.name);
    set("BUNDLE_VERSION", manifest.version);
    set("BUNDLE_PACKAGE", manifest.package);
    set("BUNDLE_SUMMARY", manifest.summary);
    set("BUNDLE_DESCRIPTION", manifest.description);
    set("BUNDLE_HOMEPAGE", manifest.homepage);
    set("BUNDLE_LICENSE", manifest.license);
    set("BUNDLE_DEVELOPER", manifest.developer);
    set("BUNDLE_EMAIL", manifest.email);
    set("BUNDLE_ICON", manifest.icon ? manifest.icon->string() : "");
    set("BUNDLE_SCHEMES", joined(manifest.schemes));
}
}  // namespace

int bundleApplication(const HostConfiguration& configuration) {
    auto manifestFile = (configuration.appDirectory / AppManifest::fileName).string();
    if (!configuration.manifest) {
        platform::log("cannot bundle " + configuration.appDirectory.string() + ": it has no " +
                      std::string(AppManifest::fileName) + " to name the package");
        return 1;
    }
    if (configuration.manifest->email.empty()) {
        platform::log(manifestFile +
                      ": \"email\" is missing: a package names its maintainer's address");
        return 1;
    }
    exportManifest(*configuration.manifest);
    auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    ::setenv("BUNDLE_APP", configuration.appDirectory.c_str(), 1);
    ::setenv("BUNDLE_OUT", configuration.bundleDirectory.c_str(), 1);
    ::setenv("BUNDLE_SHELL_BINARY", self.c_str(), 1);
    ::setenv("BUNDLE_WINDOW_BINARY", siblingProgram("musicshell-window").c_str(), 1);
    ::setenv("BUNDLE_CLIENT", configuration.clientDirectory.c_str(), 1);
    ::setenv("BUNDLE_MANUAL", manualPage().c_str(), 1);
    auto script = siblingProgram("musicshell-bundle").string();
    char* arguments[] = {script.data(), nullptr};
    ::execv(script.c_str(), arguments);
    platform::log("cannot bundle: " + script + ": " + std::strerror(errno));
    return 1;
}

}  // namespace host
