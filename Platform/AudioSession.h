#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Error.h"

namespace platform {

namespace audio_session {
inline constexpr std::string_view categoryPlayback = "playback";
inline constexpr std::string_view modeDefault = "default";
inline constexpr std::uint64_t allowBluetooth = 4;
inline constexpr std::uint64_t allowBluetoothA2DP = 32;
inline constexpr std::uint64_t allowAirPlay = 64;
}  // namespace audio_session

// The process's audio session: how its audio mixes with the rest of the system. Safe from any
// thread.
class AudioSession {
public:
    struct State {
        std::string category;
        std::string mode;
        std::uint64_t options = 0;
        bool active = false;
    };

    virtual ~AudioSession() = default;

    // Sets category, mode and category options together; gives the error when the session refuses.
    [[nodiscard]] virtual std::optional<Error> setCategory(std::string_view category,
                                                           std::string_view mode,
                                                           std::uint64_t options) = 0;
    // Activates or deactivates the session; gives the error when that fails.
    [[nodiscard]] virtual std::optional<Error> setActive(bool active, std::uint64_t options) = 0;
    virtual State state() const = 0;
};

}  // namespace platform
