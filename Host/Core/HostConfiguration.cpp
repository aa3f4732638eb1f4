#include "Host/Core/HostConfiguration.h"

#include <cstdlib>

#include <CLI/CLI.hpp>

#include "Platform/Log.h"

namespace host {

std::string HostConfiguration::applicationId() const {
    return manifest ? manifest->id : "musicshell";
}

std::string HostConfiguration::applicationName() const {
    return manifest ? manifest->name : "musicshell";
}

std::string HostConfiguration::programName() const {
    return manifest ? manifest->package : "musicshell";
}

std::string HostConfiguration::userAgent() const {
    if (!manifest) {
        return "musicshell";
    }
    // A product token holds no space or slash.
    std::string product;
    for (char c : manifest->name) {
        product.push_back(c == ' ' || c == '/' || static_cast<unsigned char>(c) < 0x21 ? '-' : c);
    }
    return product + "/" + manifest->version + " musicshell/" MUSICSHELL_VERSION;
}

std::optional<std::string> HostConfiguration::devUrl() const {
    return dev && manifest ? manifest->devUrl : std::nullopt;
}

bool HostConfiguration::receivesURL(std::string_view handed) const {
    return !manifest || manifest->receives(handed);
}

std::filesystem::path HostConfiguration::defaultContainer(std::string_view folder) {
    if (const char* container = std::getenv("MUSICSHELL_CONTAINER"); container && *container) {
        return container;
    }
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
        return std::filesystem::path(data) / folder;
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : ".") / ".local" / "share" / folder;
}

std::filesystem::path HostConfiguration::webDirectory() {
    std::error_code error;
    auto binary = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        // From bin/musicshell, or from the window's libexec/musicshell/musicshell-window.
        for (const auto& prefix : {binary.parent_path().parent_path(),
                                   binary.parent_path().parent_path().parent_path()}) {
            auto installed = prefix / "share/musicshell/web";
            if (std::filesystem::is_regular_file(installed / "musicshell-bridge.js", error)) {
                return installed;
            }
        }
    }
    return MUSICSHELL_WEB_DIRECTORY;
}

namespace {
// Asks the server already running on a container for a way in, so that a lost or spent address
// needs no restart.
CLI::App* addLoginCommand(CLI::App& app, std::string& container, bool& openBrowser) {
    auto* login = app.add_subcommand(
        "login",
        "Print a fresh address that logs one browser in to the server that `serve` runs on the "
        "container");
    login->add_option("--container", container,
                      "The container the server runs on (default: $MUSICSHELL_CONTAINER, else "
                      "$XDG_DATA_HOME/musicshell)");
    login->add_flag("--open", openBrowser,
                    "Open the address in the desktop's browser instead of printing it");
    return login;
}

// False, after a log line, for a manifest that cannot be used.
bool readManifest(HostConfiguration& configuration, bool defaultContainer) {
    auto loaded = AppManifest::load(configuration.appDirectory);
    if (!loaded.error.empty()) {
        platform::log(loaded.error);
        return false;
    }
    configuration.manifest = std::move(loaded.manifest);
    configuration.notices = std::move(loaded.warnings);
    if (configuration.dev && !(configuration.manifest && configuration.manifest->devUrl)) {
        platform::log("--dev needs a devUrl in " +
                      (configuration.appDirectory / AppManifest::fileName).string());
        return false;
    }
    // The application kept its data in musicshell's own container until it named itself.
    auto former = HostConfiguration::defaultContainer();
    auto named = HostConfiguration::defaultContainer(configuration.applicationId());
    std::error_code error;
    if (configuration.manifest && defaultContainer && former != named &&
        std::filesystem::is_directory(former, error) && !std::filesystem::exists(named, error)) {
        configuration.notices.push_back("this application now keeps its data in " + named.string() +
                                        ", no longer in " + former.string() +
                                        "; the README says how to carry it over");
    }
    return true;
}
}  // namespace

std::optional<HostConfiguration> parseCommandLine(int argc, char** argv, int& exitStatus) {
    CLI::App app{"musicshell: the native shell of a hybrid music player"};
    app.set_version_flag("--version", MUSICSHELL_VERSION);
    app.require_subcommand(0, 1);

    HostConfiguration configuration;
    configuration.transport = HostConfiguration::Transport::window;
    configuration.clientDirectory = HostConfiguration::webDirectory();
    std::string container;
    std::string opener;
    std::string url;
    // A packaged application's launcher names its folder, so that each subcommand finds it.
    const char* packagedApp = std::getenv("MUSICSHELL_APP");
    std::string appDirectory = packagedApp && *packagedApp
                                   ? packagedApp
                                   : (configuration.clientDirectory / "demo").string();
    long stallSeconds = configuration.downloadStallWindow.count();
    std::uint64_t maxDownloadBytes = 0;
    auto addAppOption = [&](CLI::App* command) {
        command->add_option("--app", appDirectory,
                            "The web application's folder (default: the bundled demo)");
    };
    auto addDevOption = [&](CLI::App* command) {
        command->add_flag("--dev", configuration.dev,
                          "Load the pages from the manifest's devUrl, a development server on "
                          "loopback, instead of the app folder");
    };
    auto addWindowOptions = [&](CLI::App* command) {
        addAppOption(command);
        addDevOption(command);
        command->add_flag(
            "--inspect", configuration.inspector,
            "Offer the web inspector in the window, and log the page's console errors and "
            "warnings");
    };
    auto addCommonOptions = [&](CLI::App* command) {
        command->add_option("--container", container,
                            "The application container (default: $MUSICSHELL_CONTAINER, else "
                            "$XDG_DATA_HOME/ID, ID the manifest's id or musicshell)");
        command->add_option("--opener", opener,
                            "Command that opens downloaded update packages, run as CMD PATH");
        command
            ->add_option("--max-request-bytes", configuration.maxRequestBytes,
                         "Largest request accepted")
            // Standard input reserves address space for the largest request.
            ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 36))
            ->capture_default_str();
        command
            ->add_option("--download-stall-seconds", stallSeconds,
                         "Fail a download that averages under 1 KiB a second for this long")
            ->capture_default_str()
            ->check(CLI::PositiveNumber);
        command->add_option("--max-download-bytes", maxDownloadBytes,
                            "Largest download accepted (default: as free space allows)");
    };
    addCommonOptions(&app);
    addWindowOptions(&app);
    app.add_option("url", url, "A URL to hand to the application, e.g. musicshell://album/7");
    auto* open = app.add_subcommand(
        "open", "Hand a URL to the application in its window, opened when none is");
    addCommonOptions(open);
    addWindowOptions(open);
    open->add_option("url", url, "The URL")->required();
    auto* stdio = app.add_subcommand(
        "stdio",
        "Read requests on standard input and answer on standard output, a JSON object a line");
    addCommonOptions(stdio);
    auto* serve = app.add_subcommand(
        "serve",
        "Serve the web application on 127.0.0.1 and bridge its plugin calls over a WebSocket");
    addCommonOptions(serve);
    addAppOption(serve);
    addDevOption(serve);
    serve->add_option("--port", configuration.port, "Port to listen on (default: any free port)");
    serve->add_flag("--open", configuration.openBrowser,
                    "Open the address in the desktop's browser");
    serve
        ->add_option("--max-connections", configuration.maxConnections,
                     "Connections served at once; more wait until one closes")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    serve
        ->add_option("--header-timeout", configuration.headerTimeoutSeconds,
                     "Seconds a connection has to send a request's headers")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    auto* login = addLoginCommand(app, container, configuration.openBrowser);
    std::string bundleDirectory = ".";
    auto* bundle = app.add_subcommand(
        "bundle", "Write a Debian package of the web application, named by its manifest");
    addAppOption(bundle);
    bundle->add_option("--out", bundleDirectory, "The folder the package is written to")
        ->capture_default_str();
    // Set once the subcommands are made, which would take it for their own help.
    app.footer(
        "Without a subcommand the web application opens in a window of its own (one per "
        "container: a second launch hands its URL to the first).");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        exitStatus = app.exit(error);
        return std::nullopt;
    }
    if (serve->parsed()) {
        configuration.transport = HostConfiguration::Transport::serve;
    } else if (stdio->parsed()) {
        configuration.transport = HostConfiguration::Transport::stdio;
    } else if (login->parsed()) {
        configuration.transport = HostConfiguration::Transport::login;
    } else if (bundle->parsed()) {
        configuration.transport = HostConfiguration::Transport::bundle;
        configuration.bundleDirectory = std::filesystem::absolute(bundleDirectory);
    }
    if (!url.empty()) {
        configuration.url = url;
    }
    configuration.appDirectory = std::filesystem::absolute(appDirectory);
    if (!stdio->parsed() && !readManifest(configuration, container.empty())) {
        exitStatus = 1;
        return std::nullopt;
    }
    configuration.container =
        container.empty() ? HostConfiguration::defaultContainer(configuration.applicationId())
                          : std::filesystem::path(container);
    configuration.container = std::filesystem::absolute(configuration.container);
    if (!opener.empty()) {
        configuration.opener = opener;
    }
    configuration.downloadStallWindow = std::chrono::seconds(stallSeconds);
    if (maxDownloadBytes > 0) {
        configuration.maxDownloadBytes = maxDownloadBytes;
    }
    return configuration;
}

}  // namespace host
