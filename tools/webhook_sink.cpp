// webhook_sink.cpp - libcurl, one easy handle reused by the sink's thread.
#include "webhook_sink.h"

#include <algorithm>
#include <mutex>

#include <curl/curl.h>

#include "common.h"

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
    // A redirect would turn the POST into a GET: treat it as an answer.
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
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, ev.json->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(ev.json->size()));
        const CURLcode rc = curl_easy_perform(curl);
        long status = 0;
        if (rc == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (rc == CURLE_OK && status >= 200 && status < 300) {
            confirm(seq++);
            backoff.reset();
            if (outage) warn(label() + ": delivering again");
            outage = false;
            continue;
        }
        const bool retry = rc != CURLE_OK || status == 408 || status == 429 || status >= 500;
        if (!retry) {
            reject(seq++);
            warn(label() + ": the receiver refused event " + std::to_string(ev.id) + " (HTTP " +
                 std::to_string(status) + "); not sent again");
            continue;
        }
        if (shouldEnd()) break;
        if (!outage)
            warn(label() + ": " + (rc != CURLE_OK ? curl_easy_strerror(rc) : "HTTP " + std::to_string(status)) +
                 "; keeping events and retrying");
        outage = true;
        if (!sleepUntil(Clock::now() + backoff.next())) break;
    }
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
}

}  // namespace tarvotool
