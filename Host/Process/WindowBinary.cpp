#include "Host/Process/WindowBinary.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Platform/Log.h"

namespace host {

namespace {
constexpr std::string_view windowBinaryName = "musicshell-window";

std::filesystem::path windowBinary() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
    auto beside = self / windowBinaryName;
    if (std::filesystem::is_regular_file(beside, error)) {
        return beside;
    }
    return self.parent_path() / "libexec" / "musicshell" / windowBinaryName;
}
}  // namespace

std::optional<int> openWindowInItsOwnBinary(const HostConfiguration&, std::string_view, int,
                                            char** argv) {
    auto binary = windowBinary();
    ::execv(binary.c_str(), argv);
    platform::log("cannot open a window: " + binary.string() + ": " + std::strerror(errno) +
                  "; serving the web application for a browser instead");
    return std::nullopt;
}

}  // namespace host
