#pragma once

#include <string_view>
#include <utility>

namespace platform {

// The runtime's knowledge of one class: the name it is known by, how to make an instance, and
// whatever else the class describes of itself (a plugin its methods). Classes announce themselves
// from static initialisers, the way an object runtime learns its classes when an image loads;
// nobody else lists them. Instances are defined at namespace scope and live for the process.
template <class Factory, class Description = std::nullptr_t>
class RuntimeClass {
public:
    RuntimeClass(std::string_view name, Factory factory, Description description = {})
        : name_(name), make_(factory), description_(std::move(description)), next_(head()) {
        head() = this;
    }
    RuntimeClass(const RuntimeClass&) = delete;
    RuntimeClass& operator=(const RuntimeClass&) = delete;

    std::string_view name() const { return name_; }
    Factory make() const { return make_; }
    const Description& description() const { return description_; }

    // All classes of this kind, most recently announced first.
    static const RuntimeClass* first() { return head(); }
    const RuntimeClass* next() const { return next_; }

private:
    static const RuntimeClass*& head() {
        static const RuntimeClass* first = nullptr;
        return first;
    }

    std::string_view name_;
    Factory make_;
    Description description_;
    const RuntimeClass* next_;
};

}  // namespace platform
