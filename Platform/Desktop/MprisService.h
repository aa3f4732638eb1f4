#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Desktop/DesktopNowPlayingInfoCenter.h"
#include "Platform/Desktop/DesktopRemoteCommandCenter.h"
#include "Platform/Desktop/MprisPlayer.h"
#include "Platform/FileSystem.h"
#include "Platform/Posix/Pipe.h"

namespace sdbus {
class IConnection;
class IObject;
}  // namespace sdbus

// The desktop's media controls: MPRIS on the D-Bus session bus, which media keys, GNOME's and
// KDE's media widgets and playerctl all speak. What the now-playing center holds is shown there,
// and the widget's buttons run the remote command center's handlers.
//
// All D-Bus work, and so every command handler it runs, happens on the service's own thread.
// Nothing the bus does ends the process: a publication it refuses is a log line, and a lost bus
// ends the service (after one log line), not the application.
class MprisService {
public:
    // What the widget may do to the application's window, when it has one: bring it to the
    // front, and end the application. Called on the service's thread.
    struct WindowControls {
        std::function<void()> raise;
        std::function<void()> quit;
    };

    // How the widget names the application: its Identity, and the DesktopEntry, which also
    // ends the bus name.
    struct Identity {
        std::string name;
        std::string desktopEntry;
    };

    // Connects and takes the bus name "org.mpris.MediaPlayer2.<desktop entry>" (".instance<PID>"
    // appended when another player has it). Throws std::exception when there is no session bus.
    MprisService(std::shared_ptr<DesktopRemoteCommandCenter> commands,
                 std::shared_ptr<DesktopNowPlayingInfoCenter> nowPlaying,
                 std::shared_ptr<platform::FileSystem> files, std::filesystem::path artworkFolder,
                 std::optional<WindowControls> windowControls = std::nullopt,
                 Identity identity = {"musicshell", "musicshell"});
    ~MprisService();
    MprisService(const MprisService&) = delete;
    MprisService& operator=(const MprisService&) = delete;

    const std::string& busName() const { return busName_; }

private:
    using Clock = MprisPlayer::Clock;

    void registerInterfaces();
    // Serves until stopped or the bus is lost.
    void run();
    // Throws when the bus is lost.
    void serve();
    void post(std::function<void()> work);
    void refresh(Clock::time_point changedAt);
    // Writes the picture unless it is the one shown last; only the picture shown last is kept,
    // so the folder never holds more than one.
    std::string artworkURL(const platform::Image& image);
    void removeArtworkBut(const std::string& kept);

    std::shared_ptr<DesktopRemoteCommandCenter> commands_;
    std::shared_ptr<DesktopNowPlayingInfoCenter> nowPlaying_;
    std::shared_ptr<platform::FileSystem> files_;
    std::filesystem::path artworkFolder_;
    std::optional<WindowControls> windowControls_;
    const Identity identity_;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
    std::string busName_;
    MprisPlayer player_;                 // service thread only
    std::filesystem::path keptArtwork_;  // service thread only

    std::mutex mutex_;
    std::vector<std::function<void()>> work_;
    bool stopping_ = false;
    posix::Pipe wake_;
    std::thread thread_;
};
