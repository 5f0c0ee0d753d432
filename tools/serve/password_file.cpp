// password_file.cpp - reading, checking and writing the password file.
#include "tools/serve/password_file.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <vector>

#include "host/errors.h"
#include "host/input_file.h"

namespace tarvotool {

namespace {

constexpr std::size_t kMaxPasswordFileBytes = 1 << 20;
constexpr std::size_t kMaxPassword = 1024;

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool Comment(const std::string& line) { return line.empty() || line[0] == '#'; }

// crypt_r's state is large (over 32 KiB): on the heap, zeroed as it wants.
std::string Crypt(const std::string& password, const std::string& setting) {
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof(crypt_data));
    const char* out = crypt_r(password.c_str(), setting.c_str(), data.get());
    // Failures give NULL or a string starting with '*'.
    std::string result = out && out[0] != '*' ? out : "";
    std::memset(data.get(), 0, sizeof(crypt_data));
    return result;
}

bool EqualInConstantTime(const std::string& a, const std::string& b) {
    const std::size_t n = std::max(a.size(), b.size());
    unsigned diff = static_cast<unsigned>(a.size() ^ b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<unsigned>(x ^ y);
    }
    return diff == 0;
}

// A line of the terminal without echo.
std::string AskHidden(const char* prompt) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    termios old{};
    const bool tty = tcgetattr(STDIN_FILENO, &old) == 0;
    if (tty) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (tty) tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
    std::fputs("\n", stderr);
    return line;
}

std::string ReadPassword() {
    std::string password;
    if (isatty(STDIN_FILENO)) {
        password = AskHidden("password: ");
        if (AskHidden("again: ") != password) throw ToolError("the two passwords differ");
    } else if (!std::getline(std::cin, password) && password.empty()) {
        throw ToolError("no password on standard input");
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.empty()) throw ToolError("the password is empty");
    if (password.size() > kMaxPassword) throw ToolError("the password is longer than 1024 bytes");
    return password;
}

}  // namespace

bool IsPasswordUser(const std::string& user) {
    if (user.empty() || user.size() > 64) return false;
    for (char c : user) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '@' || c == '-';
        if (!ok) return false;
    }
    return true;
}

PasswordHashes ReadPasswordFile(const std::string& path) {
    PasswordHashes users;
    int n = 0;
    for (std::string line : SplitLines(ReadInputFile(path, "password file", kMaxPasswordFileBytes))) {
        ++n;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (Comment(line)) continue;
        const std::size_t colon = line.find(':');
        const std::string where = "password file '" + path + "': line " + std::to_string(n) + ": ";
        if (colon == std::string::npos || !IsPasswordUser(line.substr(0, colon)) || colon + 1 >= line.size())
            throw ToolError(where + "expected USER:HASH (made by 'tarvocoil passwd')");
        if (!users.emplace(line.substr(0, colon), line.substr(colon + 1)).second)
            throw ToolError(where + "user '" + line.substr(0, colon) + "' a second time");
    }
    if (users.empty()) throw ToolError("password file '" + path + "' has no user (add one with 'tarvocoil passwd')");
    return users;
}

std::string HashPassword(const std::string& password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // yescrypt at libcrypt's default cost, the salt from the system's entropy.
    if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting))
        throw ToolError(std::string("cannot make a salt: ") + std::strerror(errno));
    const std::string hash = Crypt(password, setting);
    if (hash.empty()) throw ToolError("libcrypt cannot hash the password");
    return hash;
}

bool CheckPassword(const std::string& password, const std::string& hash) {
    const std::string again = Crypt(password, hash);
    return !again.empty() && EqualInConstantTime(again, hash);
}

void SetPassword(const std::string& path, const std::string& user, const std::string& password) {
    if (!IsPasswordUser(user))
        throw ToolError("'" + user + "' is not a user name (1 to 64 of A-Z, a-z, 0-9, '.', '_', '@' and '-')");
    std::vector<std::string> lines;
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) lines = SplitLines(ReadInputFile(path, "password file", kMaxPasswordFileBytes));
    const std::string entry = user + ":" + HashPassword(password);
    bool replaced = false;
    for (std::string& line : lines) {
        if (!Comment(line) && line.compare(0, user.size() + 1, user + ":") == 0) {
            line = entry;
            replaced = true;
        }
    }
    if (!replaced) lines.push_back(entry);
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    // A new file beside the old one, renamed over it: a crash leaves the
    // old file or the new one, never half of one.
    std::string tmp = path + ".XXXXXX";
    const int fd = mkstemp(tmp.data());
    if (fd < 0) throw ToolError("cannot write beside '" + path + "': " + std::strerror(errno));
    fchmod(fd, 0600);
    bool ok = true;
    int err = 0;
    for (std::size_t done = 0; ok && done < text.size();) {
        const ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        ok = w > 0;
        if (ok) done += static_cast<std::size_t>(w);
        else err = errno;
    }
    if (ok && fsync(fd) != 0) {
        ok = false;
        err = errno;
    }
    close(fd);
    if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        throw ToolError("cannot write '" + path + "': " + std::strerror(err));
    }
}

int RunPasswd(const PasswdCommand& cmd) {
    if (!IsPasswordUser(cmd.user))
        throw ToolError("'" + cmd.user + "' is not a user name (1 to 64 of A-Z, a-z, 0-9, '.', '_', '@' and '-')");
    SetPassword(cmd.file, cmd.user, ReadPassword());
    std::fprintf(stderr, "tarvocoil: %s: password of '%s' set\n", TerminalText(cmd.file).c_str(), cmd.user.c_str());
    return 0;
}

}  // namespace tarvotool
