// webhook_sink.cpp - libcurl, one easy handle reused by the sink's thread.
#include "tools/events/webhook_sink.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>

#include <curl/curl.h>

#include "host/errors.h"

namespace tarvotool {

using Clock = std::chrono::steady_clock;

namespace {

void InitCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The URL as messages show it: no credentials, no query (tokens live there).
std::string UrlLabel(const std::string& url) {
    std::string label = url;
    const std::size_t q = label.find_first_of("?#");
    if (q != std::string::npos) label.resize(q);
    const std::size_t scheme = label.find("://");
    if (scheme != std::string::npos) {
        const std::size_t start = scheme + 3;
        const std::size_t slash = label.find('/', start);
        const std::size_t at = label.rfind('@', slash == std::string::npos ? label.size() : slash);
        if (at != std::string::npos && at >= start) label.erase(start, at + 1 - start);
    }
    return label;
}

size_t Discard(char*, size_t size, size_t n, void*) { return size * n; }

constexpr int kMaxRedirects = 5;

std::string Scheme(const std::string& url) {
    const std::size_t colon = url.find("://");
    std::string s = colon == std::string::npos ? "" : url.substr(0, colon);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Why a request that will be tried again failed, as the end-of-run report
// and the warnings say it.
std::string FailureText(CURLcode rc, long status, std::chrono::milliseconds timeout) {
    if (rc == CURLE_OPERATION_TIMEDOUT) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "no answer within %g s", timeout.count() / 1000.0);
        return buf;
    }
    if (rc != CURLE_OK) return std::string("unreachable (") + curl_easy_strerror(rc) + ")";
    return "the receiver answered HTTP " + std::to_string(status);
}

}  // namespace

void CheckWebhookUrl(const std::string& url) {
    const bool http = url.rfind("http://", 0) == 0, https = url.rfind("https://", 0) == 0;
    const std::size_t start = http ? 7 : 8;
    if ((!http && !https) || url.size() <= start || url[start] == '/' || url[start] == '?')
        throw ToolError("webhook URL '" + UrlLabel(url) + "': expected http://HOST[:PORT]/PATH or https://...");
    for (char c : url)
        if (static_cast<unsigned char>(c) <= ' ')
            throw ToolError("webhook URL '" + UrlLabel(url) + "': spaces and control characters must be escaped");
}

WebhookSink::WebhookSink(const std::string& url, const WebhookSettings& settings, std::size_t capacity, WarnFn warn)
    : Sink(UrlLabel(url), capacity, std::move(warn)), url_(url), settings_(settings) {
    CheckWebhookUrl(url);
    for (const std::string& h : settings_.headers)
        if (h.find(':') == std::string::npos || h.find_first_of("\r\n") != std::string::npos)
            throw ToolError("webhook header '" + h + "': expected one line 'Name: value'");
    InitCurl();
}

WebhookSink::~WebhookSink() { stopThread(); }

void WebhookSink::run() {
    CURL* curl = curl_easy_init();
    if (!curl) {
        warn(label() + ": cannot start libcurl; no events will be posted");
        return;
    }
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    for (const std::string& h : settings_.headers) headers = curl_slist_append(headers, h.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // no SIGALRM from another thread
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(settings_.timeout.count()));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings_.timeout.count()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "tarvocoil");
    // libcurl would turn the POST into a GET on 301/302: post() follows
    // redirects itself.
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    // Ends a request early once the flush deadline has passed.
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION,
                     +[](void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) -> int {
                         return static_cast<WebhookSink*>(self)->shouldEnd() ? 1 : 0;
                     });

    Backoff backoff(settings_.retryFirst, settings_.retryMax);
    bool outage = false;
    uint64_t seq = 0;
    for (;;) {
        seq = std::max(seq, frontSeq());
        if (!waitFor(seq, Clock::now() + std::chrono::hours(1))) {
            if (shouldEnd()) break;
            continue;
        }
        QueuedEvent ev;
        if (!get(seq, ev)) continue;  // dropped meanwhile
        const Answer a = post(curl, ev);
        // 303 See Other: the receiver took the event and points elsewhere
        // for a result.
        if (a.rc == CURLE_OK && ((a.status >= 200 && a.status < 300) || a.status == 303)) {
            confirm(seq++);
            noteFailure("");
            backoff.reset();
            if (outage) warn(label() + ": delivering again");
            outage = false;
            continue;
        }
        const bool retry = a.refusal.empty() && (a.rc != CURLE_OK || a.status == 408 || a.status == 429 || a.status >= 500);
        if (!retry) {
            reject(seq++);
            reportRejection(ev.id, a.refusal.empty() ? "HTTP " + std::to_string(a.status) : a.refusal);
            continue;
        }
        if (shouldEnd()) break;
        const std::string why = FailureText(a.rc, a.status, settings_.timeout);
        noteFailure(why);
        if (!outage) warn(label() + ": " + why + "; keeping events and retrying");
        outage = true;
        if (!sleepUntil(Clock::now() + backoff.next())) break;
    }
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
}

bool WebhookSink::IsRedirect(long status) {
    return status == 301 || status == 302 || status == 307 || status == 308;
}

WebhookSink::Answer WebhookSink::post(CURL* curl, const QueuedEvent& ev) {
    std::string target = url_;
    for (int hop = 0;; ++hop) {
        curl_easy_setopt(curl, CURLOPT_URL, target.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, ev.json->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(ev.json->size()));
        Answer a;
        a.rc = curl_easy_perform(curl);
        if (a.rc == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &a.status);
        if (a.rc != CURLE_OK || !IsRedirect(a.status)) return a;
        char* location = nullptr;
        curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
        const std::string to = location ? location : "";
        const std::string code = "HTTP " + std::to_string(a.status);
        // Within the scheme only: an https:// receiver must not send events
        // on to plain http.
        if (to.empty())
            a.refusal = code + " without a location; redirect not followed";
        else if (Scheme(to) != Scheme(url_))
            a.refusal = code + " to " + UrlLabel(to) + "; redirect not followed (another scheme)";
        else if (hop == kMaxRedirects)
            a.refusal = code + " after " + std::to_string(kMaxRedirects) + " redirects; redirect not followed";
        if (!a.refusal.empty()) return a;
        target = to;
    }
}

void WebhookSink::reportRejection(uint64_t id, const std::string& why) {
    // The first refusal at once, then a count at most every 10 s: a receiver
    // that refuses every body would otherwise give a line per event.
    const auto now = Clock::now();
    if (rejectionsWarned_ > 0 && now - lastRejectionWarning_ < std::chrono::seconds(10)) {
        ++rejectionsUnsaid_;
        return;
    }
    std::string text = label() + ": the receiver refused event " + std::to_string(id) + " (" + why + "); not sent again";
    if (rejectionsUnsaid_ > 0) text += "; " + std::to_string(rejectionsUnsaid_) + " more refused before it";
    warn(text);
    ++rejectionsWarned_;
    rejectionsUnsaid_ = 0;
    lastRejectionWarning_ = now;
}

}  // namespace tarvotool
