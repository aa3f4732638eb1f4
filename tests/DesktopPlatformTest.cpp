#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#include "Eventually.h"
#include "FileContents.h"
#include "Images.h"
#include "Platform/Desktop/ChangeNotifier.h"
#include "Platform/Desktop/DesktopRemoteCommandCenter.h"
#include "Platform/Desktop/StandardOutputConsole.h"
#include "Platform/Desktop/StbImageDecoder.h"
#include "Platform/Desktop/XdgURLOpener.h"
#include "Platform/Posix/OpenBeneath.h"
#include "Platform/SerialQueue.h"
#include "TemporaryDirectory.h"

namespace {

// Whether a thread of this process is blocked, rather than running or ready to run.
bool isAsleep(pid_t thread) {
    std::string text = readWhole("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::size_t name = text.rfind(')');
    return name != std::string::npos && name + 2 < text.size() && text[name + 2] == 'S';
}

// The media controls remove their observers from the desktop centers before they go away: a
// notification already running the observer must finish before removal returns. The observer is
// held until the removing thread has either returned or blocked, whatever the scheduling.
TEST(ChangeNotifierTest, RemovingAnObserverWaitsForTheCallStillRunningIt) {
    ChangeNotifier notifier;
    std::promise<void> entered, release;
    std::atomic<bool> removed{false};
    bool removedWhileRunning = true;
    int calls = 0;
    notifier.setObserver([&] {
        ++calls;
        entered.set_value();
        release.get_future().wait();
        removedWhileRunning = removed;
    });
    std::thread notification([&] { notifier.notify(); });
    entered.get_future().wait();
    std::atomic<pid_t> remover{0};
    std::thread removal([&] {
        remover = ::gettid();
        notifier.setObserver({});
        removed = true;
    });
    EXPECT_TRUE(eventually([&] { return removed || (remover != 0 && isAsleep(remover)); }));
    release.set_value();
    notification.join();
    removal.join();
    EXPECT_FALSE(removedWhileRunning);

    notifier.notify();
    EXPECT_EQ(calls, 1);
}

// Disabled commands and commands without a handler give no status, as the stdio protocol's
// null; with several handlers the last one's status counts.
TEST(DesktopRemoteCommandCenterTest, SendsOnlyToEnabledCommandsWithHandlers) {
    using platform::RemoteCommand;
    using Status = platform::RemoteCommandHandlerStatus;
    DesktopRemoteCommandCenter center;
    auto answer = [](Status status) {
        return [status](const platform::RemoteCommandEvent&) { return status; };
    };
    auto play = [&] { return center.send({RemoteCommand::play, {}}); };
    center.setEnabled(RemoteCommand::play, true);
    EXPECT_EQ(play(), std::nullopt);
    center.addTarget(RemoteCommand::play, answer(Status::noSuchContent));
    center.addTarget(RemoteCommand::play, answer(Status::success));
    EXPECT_EQ(play(), Status::success);
    center.setEnabled(RemoteCommand::play, false);
    EXPECT_EQ(play(), std::nullopt);
    center.addTarget(RemoteCommand::pause, answer(Status::success));
    EXPECT_EQ(center.send({RemoteCommand::pause, {}}), std::nullopt);
}

TEST(SerialQueueTest, AfterStopNothingRunsAndSyncReturnsFalse) {
    SerialQueue queue;
    std::vector<int> ran;
    std::thread loop([&] { queue.run(); });
    EXPECT_TRUE(queue.sync([&] { ran.push_back(1); }));
    queue.stop();
    loop.join();
    queue.async([&] { ran.push_back(2); });
    EXPECT_FALSE(queue.sync([&] { ran.push_back(3); }));
    EXPECT_EQ(ran, std::vector<int>{1});
}

// A line larger than a pipe holds, whose write a signal interrupts once the pipe is full: the
// next write goes on where the interrupted one ended, which only a text that differs all along
// its length shows.
TEST(StandardOutputConsoleTest, ResumesAnInterruptedWriteWhereItEnded) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    static std::atomic<bool> interrupted = false;
    struct sigaction interrupt = {}, previous = {};
    interrupt.sa_handler = [](int) { interrupted = true; };  // no SA_RESTART
    ::sigaction(SIGUSR1, &interrupt, &previous);
    std::string text;
    for (int i = 0; text.size() < 300000; ++i) {
        text += std::to_string(i) + ",";
    }
    std::atomic<pid_t> writer{0};
    std::thread writing([&] {
        writer = ::gettid();
        StandardOutputConsole console(ends[1]);
        std::string_view pieces[] = {text, "end"};
        console.printLine(pieces);
        console.close();
        console.printLine("after close");
        ::close(ends[1]);
    });
    auto pipeFull = [&] {
        int queued = 0;
        ::ioctl(ends[0], FIONREAD, &queued);
        return queued == ::fcntl(ends[0], F_GETPIPE_SZ) && writer != 0 && isAsleep(writer);
    };
    EXPECT_TRUE(eventually(pipeFull));
    ::pthread_kill(writing.native_handle(), SIGUSR1);
    EXPECT_TRUE(eventually([] { return interrupted.load(); }));
    // Read through a second opening of the pipe, to the writer's end.
    std::string received = readWhole("/proc/self/fd/" + std::to_string(ends[0]));
    writing.join();
    ::close(ends[0]);
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(received == text + "end\n") << received.size();
}

// Whatever is planted on the way, openat2 and the walk taken where the kernel lacks it answer
// alike; the failure names the component at fault, for the container's messages.
TEST(OpenBeneathTest, RefusesLinksAndWaysOutWithAndWithoutOpenat2) {
    // The path, whether to make the folders on its way, and the errno, component and link at fault.
    const std::tuple<const char*, bool, int, std::string, bool> cases[] = {
        {"./a/b/file", false, 0, "", false},
        {"link/b/file", false, ENOTDIR, "link", true},         // a link for a folder on the way
        {"a/b/fileLink", false, ELOOP, "a/b/fileLink", true},  // a link at the end
        {"a/../a/b/file", false, EXDEV, "a/..", false},
        {"/etc/passwd", false, EXDEV, "/", false},
        {"a/new/c", false, ENOENT, "a/new", false},
        {"a/new/c", true, 0, "", false},
    };
    for (auto* open : {&posix::openBeneath, &posix::walkBeneath}) {
        TemporaryDirectory root;
        std::filesystem::create_directories(root / "a/b");
        std::ofstream(root / "a/b/file") << "x";
        std::filesystem::create_directory_symlink("a", root / "link");
        std::filesystem::create_symlink("file", root / "a/b/fileLink");
        FileDescriptor top(::open(root.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (const auto& [path, makeFolders, number, failed, onLink] : cases) {
            auto opened = open(top.get(), path, O_RDONLY, makeFolders);
            EXPECT_EQ(std::tie(opened.number, opened.failed, opened.failedOnLink),
                      std::tie(number, failed, onLink))
                << path;
            EXPECT_EQ(opened.fd.valid(), number == 0) << path;
        }
    }
}

// Pictures are refused by their pixel count, not by either side alone.
TEST(StbImageDecoderTest, RefusesPicturesOfMoreThanTheMostPixels) {
    auto size = [](int width, int height) -> std::optional<std::pair<int, int>> {
        auto image = StbImageDecoder().decode(pngOf(width, height));
        return image ? std::optional(std::pair(image->width, image->height)) : std::nullopt;
    };
    EXPECT_EQ(size(48, 24), std::pair(48, 24));
    EXPECT_EQ(size(16384, 1024), std::pair(16384, 1024));
    EXPECT_EQ(size(16384, 1025), std::nullopt);
    EXPECT_EQ(size(1025, 16384), std::nullopt);
}

// A link reaches xdg-open as one argument, whatever a shell would make of it; without xdg-open
// on the PATH nothing is claimed.
TEST(XdgURLOpenerTest, HandsEachLinkOverWholeAndSaysWhenItCannot) {
    TemporaryDirectory directory;
    std::filesystem::path received = directory / "received", ran = directory / "ran";
    std::ofstream(directory / "xdg-open")
        << "#!/bin/sh\nprintf '%s %s\\n' \"$#\" \"$1\" > '" << received.string() << "'\n";
    std::filesystem::permissions(directory / "xdg-open", std::filesystem::perms::owner_all);
    std::string path = std::getenv("PATH");
    ::setenv("PATH", directory.path().c_str(), 1);
    XdgURLOpener opener;
    for (std::string link : {"https://example.com/a b?q=$(touch " + ran.string() + ")&x=`id`;",
                             std::string("mailto:someone@example.com")}) {
        EXPECT_TRUE(opener.open(link));
        EXPECT_TRUE(eventually([&] { return readWhole(received) == "1 " + link + "\n"; }))
            << readWhole(received);
    }
    ::setenv("PATH", (directory / "empty").c_str(), 1);
    EXPECT_FALSE(opener.open("https://example.com/"));
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_FALSE(std::filesystem::exists(ran));
}

}  // namespace
