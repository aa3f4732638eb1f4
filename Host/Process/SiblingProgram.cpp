#include "Host/Process/SiblingProgram.h"

namespace host {

std::filesystem::path siblingProgram(std::string_view name) {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
    auto beside = self / name;
    if (std::filesystem::is_regular_file(beside, error)) {
        return beside;
    }
    return self.parent_path() / "libexec" / "musicshell" / name;
}

}  // namespace host
