// http_auth.h - HTTP Basic authentication against the password file, for
// a service that listens beyond the loopback.
//
// Checking a yescrypt hash takes milliseconds of CPU on purpose. So that a
// page polling every second does not pay it each time, a header that passed
// is remembered for a minute (compared in constant time). A client address
// whose attempt failed is refused (429) for a while before it may try again,
// the while doubling with each failure up to 30 s: guessing is slowed
// without holding a server thread asleep.
#ifndef TARVOCOIL_TOOLS_SERVE_HTTP_AUTH_H
#define TARVOCOIL_TOOLS_SERVE_HTTP_AUTH_H

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tools/serve/password_file.h"

namespace tarvotool {

// The user and password of an "Authorization: Basic ..." value; false when
// it is not one.
bool ParseBasicAuth(const std::string& header, std::string& user, std::string& password);

class BasicAuth {
public:
    using Clock = std::chrono::steady_clock;
    enum class Verdict { Allowed, Missing, Wrong, Slowed };

    explicit BasicAuth(PasswordHashes users) : users_(std::move(users)) {}
    // The password file read again: from now on these users alone pass.
    // Remembered credentials of a user removed or given a new password
    // are forgotten.
    void setUsers(PasswordHashes users);
    // `address`: the client's address, for slowing its failures down.
    Verdict check(const std::string& authorization, const std::string& address, Clock::time_point now = Clock::now());
    // Seconds until the address may try again (for Retry-After).
    int retryAfter(const std::string& address, Clock::time_point now = Clock::now()) const;

    static constexpr std::chrono::milliseconds kFirstPause{500};
    static constexpr std::chrono::seconds kLongestPause{30};
    static constexpr std::chrono::seconds kRemembered{60};

private:
    struct Failures {
        int count = 0;
        Clock::time_point until;
    };
    // Whether the credentials match, and the users' generation they were
    // checked against.
    bool verify(const std::string& authorization, uint64_t& generation);
    bool remembered(const std::string& authorization, Clock::time_point now);

    mutable std::mutex mu_;
    PasswordHashes users_;
    uint64_t generation_ = 0;  // of users_, counted up by setUsers()
    std::map<std::string, Failures> failures_;
    std::vector<std::pair<std::string, Clock::time_point>> passed_;  // header, until
};

}  // namespace tarvotool

#endif
