#include "App/Bridge/CAPPayload.h"

#include "App/Bridge/Base64.h"

std::optional<platform::Error> CAPPayload::placeAt(platform::FileSystem& files,
                                                   const std::filesystem::path& target) {
    if (staged_) {
        return staged_->placeAt(target);
    }
    return files.writeAtomically(target, bytes_);
}

platform::Result<std::string> CAPPayload::base64Text() const {
    if (!staged_) {
        return base64::encode(bytes_);
    }
    auto bytes = staged_->content();
    if (!bytes.ok()) {
        return bytes.error();
    }
    return base64::encode(bytes.value());
}
