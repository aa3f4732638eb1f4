#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "Platform/RuntimeClass.h"

namespace platform {

// Where an application's resources lie.
struct Bundle {
    std::filesystem::path resourcePath;
};

// One scene of the main interface description, from which the platform makes a view controller.
struct Coder {
    std::string identifier;
};

// Manages a view. The platform calls `viewDidLoad` on the main thread each time the view loads.
class ViewController {
public:
    ViewController(std::optional<std::string> nibName, std::optional<Bundle> bundle)
        : nibName_(std::move(nibName)), bundle_(std::move(bundle)) {}
    explicit ViewController(const Coder& coder) : nibName_(coder.identifier) {}
    virtual ~ViewController() = default;

    virtual void viewDidLoad() {}

    const std::optional<std::string>& nibName() const { return nibName_; }
    const std::optional<Bundle>& bundle() const { return bundle_; }

private:
    std::optional<std::string> nibName_;
    std::optional<Bundle> bundle_;
};

// The window the platform builds from the main interface, with its root view controller.
struct Window {
    std::shared_ptr<ViewController> rootViewController;
};

using ViewControllerClass = RuntimeClass<std::shared_ptr<ViewController> (*)(const Coder&)>;

}  // namespace platform
