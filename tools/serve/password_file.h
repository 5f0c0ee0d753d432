// password_file.h - the service's password file: who may use the page, the
// API and /metrics when it listens beyond the loopback.
//
//   # comments and empty lines are skipped
//   alice:$y$j9T$...
//   prometheus:$y$j9T$...
//
// One "USER:HASH" per line; the hash is crypt(3)'s (yescrypt from Debian's
// libcrypt for new entries; any method it knows is checked). `tarvocoil
// passwd FILE USER` adds or changes entries, writing the file atomically
// with mode 0600.
#ifndef TARVOCOIL_TOOLS_SERVE_PASSWORD_FILE_H
#define TARVOCOIL_TOOLS_SERVE_PASSWORD_FILE_H

#include <map>
#include <string>

namespace tarvotool {

using PasswordHashes = std::map<std::string, std::string>;  // user -> hash

// 1..64 of A-Z, a-z, 0-9, '.', '_', '@' and '-'.
bool IsPasswordUser(const std::string& user);

// Throws ToolError naming the file and line.
PasswordHashes ReadPasswordFile(const std::string& path);
// A new salted hash of `password`. Throws ToolError when libcrypt fails.
std::string HashPassword(const std::string& password);
// Whether `password` matches `hash`, comparing in constant time.
bool CheckPassword(const std::string& password, const std::string& hash);
// Sets USER's entry (added at the end when new, keeping every other line)
// and replaces the file in one step. Throws ToolError.
void SetPassword(const std::string& path, const std::string& user, const std::string& password);

struct PasswdCommand {
    std::string file;
    std::string user;
};
// Reads the password from standard input (its first line) or, on a
// terminal, asks twice without echo; returns the exit status.
int RunPasswd(const PasswdCommand& cmd);

}  // namespace tarvotool

#endif
