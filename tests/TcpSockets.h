#pragma once

#include <fstream>
#include <string>
#include <vector>

// A TCP socket of this machine as the kernel lists it; the address is in hexadecimal.
struct TcpSocket {
    std::string localAddress;
    int localPort;
    int remotePort;
    std::string state;  // "0A" listening, "01" established, "08" closed by the peer
};

inline std::vector<TcpSocket> tcpSockets() {
    auto port = [](const std::string& address) {
        return std::stoi(address.substr(address.find(':') + 1), nullptr, 16);
    };
    std::vector<TcpSocket> sockets;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream lines(table);
        std::string rest, slot, local, remote, state;
        std::getline(lines, rest);  // the header
        while (lines >> slot >> local >> remote >> state && std::getline(lines, rest)) {
            sockets.push_back({local.substr(0, local.find(':')), port(local), port(remote), state});
        }
    }
    return sockets;
}
