#include "Platform/Services.h"

namespace platform {

namespace {
Services& installed() {
    static Services services;
    return services;
}
}  // namespace

const Services& Services::shared() {
    return installed();
}

void Services::installShared(Services services) {
    installed() = std::move(services);
}

}  // namespace platform
