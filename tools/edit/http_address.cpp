// http_address.cpp - listening addresses and Host headers.
#include "tools/edit/http_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace tarvotool {

bool IsIpLiteral(const std::string& name) {
    in_addr a4;
    in6_addr a6;
    if (inet_pton(AF_INET, name.c_str(), &a4) == 1) return true;
    return name.size() > 2 && name.front() == '[' && name.back() == ']' &&
           inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), &a6) == 1;
}

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

bool SplitHost(const std::string& value, std::string& name, int& port) {
    std::size_t colon = value.rfind(':');
    if (!value.empty() && value.back() == ']') colon = std::string::npos;
    name = colon == std::string::npos ? value : value.substr(0, colon);
    port = 80;
    if (colon != std::string::npos) {
        const std::string p = value.substr(colon + 1);
        if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
        port = std::stoi(p);
    }
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return !name.empty();
}

bool SplitHostPort(const std::string& value, std::string& name, int& port) {
    const std::size_t colon = value.rfind(':');
    if (colon == std::string::npos || (!value.empty() && value.back() == ']')) return false;
    // An IPv6 address needs its brackets, or its last group reads as the port.
    if (value.find(':') != colon && value.front() != '[') return false;
    return SplitHost(value, name, port);
}

bool HostNamesServer(const std::string& value, const std::string& bound, int port) {
    std::string name;
    int p = 0;
    if (!SplitHost(value, name, p) || p != port) return false;
    std::string b = bound;
    if (b.find(':') != std::string::npos && b.front() != '[') b = "[" + b + "]";
    if (name == b) return true;
    if (IsLoopback(bound)) return name == "localhost" || name == "127.0.0.1" || name == "[::1]";
    if (bound == "0.0.0.0" || bound == "::") return name == "localhost" || IsIpLiteral(name);
    return false;
}

// Names are looked up, numbers are not.
std::string AddressProblem(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    if (host.find_first_not_of("0123456789.") == std::string::npos || host.find(':') != std::string::npos)
        hints.ai_flags |= AI_NUMERICHOST;
    addrinfo* found = nullptr;
    const int err = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (found) freeaddrinfo(found);
    return err == 0 ? "" : gai_strerror(err);
}

// An address that is not this machine's is no matter of trying another port.
std::string BindProblem(const std::string& host, int port, const std::string& inUse) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) return inUse;
    const int fd = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    int yes = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const int err = fd >= 0 && ::bind(fd, found->ai_addr, found->ai_addrlen) != 0 ? errno : 0;
    if (fd >= 0) close(fd);
    freeaddrinfo(found);
    return err == 0 || err == EADDRINUSE ? inUse : std::strerror(err);
}

}  // namespace tarvotool
