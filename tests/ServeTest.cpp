#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "ShellProcess.h"
#include "TemporaryDirectory.h"

namespace {

// The addresses, as the kernel writes them in hexadecimal, of the sockets listening on `port`.
std::vector<std::string> listeningAddresses(int port) {
    std::vector<std::string> addresses;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream lines(table);
        std::string line;
        std::getline(lines, line);  // the header
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            std::size_t colon = local.find(':');
            if (state == "0A" && std::stoi(local.substr(colon + 1), nullptr, 16) == port) {
                addresses.push_back(local.substr(0, colon));
            }
        }
    }
    return addresses;
}

// The browser host listens on the loopback address alone; a port it cannot have ends it with
// status 1.
TEST(ServeTest, ListensOnLoopbackOnlyAndEndsWithStatusOneOnATakenPort) {
    TemporaryDirectory directory;
    std::string container = (directory / "c").string();
    ShellProcess server{{"serve", "--container", container}};
    server.call({{"id", 1}, {"host", "audioSession"}});
    ASSERT_EQ(server.otherLines.size(), 1u) << server.standardError();
    const std::string& address = server.otherLines[0];
    ASSERT_TRUE(address.starts_with("http://127.0.0.1:")) << address;
    int port = std::stoi(address.substr(17));
    EXPECT_EQ(listeningAddresses(port), std::vector<std::string>{"0100007F"});

    ShellProcess second{{"serve", "--container", container, "--port", std::to_string(port)}};
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.standardError().find("cannot serve"), std::string::npos)
        << second.standardError();
}

}  // namespace
