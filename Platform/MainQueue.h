#pragma once

#include <functional>

namespace platform {

// The serial queue of the main thread. `async` is safe from any thread; work posted after the
// application has begun to quit is dropped.
class MainQueue {
public:
    virtual ~MainQueue() = default;

    virtual void async(std::function<void()> work) = 0;
};

}  // namespace platform
