// http_auth.cpp - Basic authentication with slowed failures.
#include "tools/serve/http_auth.h"

#include <algorithm>

namespace tarvotool {

namespace {

constexpr std::size_t kMaxTracked = 4096;   // client addresses with failures
constexpr std::size_t kMaxRemembered = 64;  // headers that passed
constexpr std::size_t kMaxHeader = 4096;

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool DecodeBase64(const std::string& text, std::string& out) {
    out.clear();
    uint32_t bits = 0;
    int count = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] != '='; ++i) {
        const int v = Base64Value(text[i]);
        if (v < 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFFu);
        }
    }
    for (; i < text.size(); ++i)
        if (text[i] != '=') return false;
    return true;
}

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

bool ParseBasicAuth(const std::string& header, std::string& user, std::string& password) {
    if (header.size() > kMaxHeader || header.size() < 6) return false;
    std::string scheme = header.substr(0, 6);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    if (scheme != "basic ") return false;
    std::string decoded;
    const std::size_t start = header.find_first_not_of(' ', 6);
    if (start == std::string::npos || !DecodeBase64(header.substr(start), decoded)) return false;
    const std::size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}

void BasicAuth::setUsers(PasswordHashes users) {
    std::lock_guard<std::mutex> lock(mu_);
    // A user removed or with a new password must not pass on a header
    // remembered from before; the others stay remembered.
    passed_.erase(std::remove_if(passed_.begin(), passed_.end(),
                                 [&](const auto& p) {
                                     std::string user, password;
                                     if (!ParseBasicAuth(p.first, user, password)) return true;
                                     const auto was = users_.find(user), now = users.find(user);
                                     return was == users_.end() || now == users.end() || was->second != now->second;
                                 }),
                  passed_.end());
    users_ = std::move(users);
    ++generation_;
}

bool BasicAuth::verify(const std::string& authorization, uint64_t& generation) {
    std::string user, password;
    if (!ParseBasicAuth(authorization, user, password)) return false;
    // An unknown user costs a hash as well, so that timing tells no names.
    static const std::string decoy = HashPassword("decoy");
    std::string hash;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        generation = generation_;
        const auto it = users_.find(user);
        known = it != users_.end();
        if (known) hash = it->second;
    }
    const bool match = CheckPassword(password, known ? hash : decoy);  // milliseconds: outside the lock
    return match && known;
}

bool BasicAuth::remembered(const std::string& authorization, Clock::time_point now) {
    passed_.erase(std::remove_if(passed_.begin(), passed_.end(), [&](const auto& p) { return p.second <= now; }),
                  passed_.end());
    bool found = false;
    for (const auto& p : passed_) found = SameText(p.first, authorization) || found;
    return found;
}

BasicAuth::Verdict BasicAuth::check(const std::string& authorization, const std::string& address,
                                    Clock::time_point now) {
    if (authorization.empty()) return Verdict::Missing;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (remembered(authorization, now)) return Verdict::Allowed;
        const auto f = failures_.find(address);
        if (f != failures_.end() && now < f->second.until) return Verdict::Slowed;
    }
    uint64_t generation = 0;
    const bool ok = verify(authorization, generation);
    std::lock_guard<std::mutex> lock(mu_);
    if (ok) {
        failures_.erase(address);
        // Checked against users replaced meanwhile: let this request pass,
        // but do not remember it for the new ones.
        if (generation != generation_) return Verdict::Allowed;
        if (passed_.size() >= kMaxRemembered) passed_.erase(passed_.begin());
        passed_.emplace_back(authorization, now + kRemembered);
        return Verdict::Allowed;
    }
    if (failures_.size() >= kMaxTracked && !failures_.count(address)) {
        // Forget the address whose pause ended longest ago.
        auto oldest = std::min_element(failures_.begin(), failures_.end(),
                                       [](const auto& a, const auto& b) { return a.second.until < b.second.until; });
        failures_.erase(oldest);
    }
    Failures& f = failures_[address];
    f.count = std::min(f.count + 1, 16);
    const auto pause = std::min<Clock::duration>(kFirstPause * (1 << (f.count - 1)), kLongestPause);
    f.until = now + pause;
    return Verdict::Wrong;
}

int BasicAuth::retryAfter(const std::string& address, Clock::time_point now) const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto f = failures_.find(address);
    if (f == failures_.end() || f->second.until <= now) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::seconds>(f->second.until - now).count());
}

}  // namespace tarvotool
