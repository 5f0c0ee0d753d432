// webhook_sink.h - events as HTTP POSTs of their JSON object.
#ifndef TARVOCOIL_TOOLS_EVENTS_WEBHOOK_SINK_H
#define TARVOCOIL_TOOLS_EVENTS_WEBHOOK_SINK_H

#include <chrono>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "tools/events/delivery.h"

namespace tarvotool {

struct WebhookSettings {
    std::chrono::milliseconds timeout{10000};     // per request, connecting included
    std::chrono::milliseconds retryFirst{500};    // backoff after a failed request
    std::chrono::milliseconds retryMax{30000};
    std::vector<std::string> headers;             // extra "Name: value" lines
};

// Checks that the URL is http:// or https:// with a host; throws ToolError.
void CheckWebhookUrl(const std::string& url);

// POSTs each queued event, one request per event, in order, with
// Content-Type: application/json. A 2xx answer (or 303) delivers it.
// Redirects (301, 302, 307, 308) are followed with the same POST, up to 5,
// to URLs of the same scheme only. Network errors, timeouts, 408, 429 and
// 5xx are retried with backoff, holding back later events so that order is
// kept; any other answer (a 4xx: the receiver will never take this body; a
// redirect not followed) rejects the event, which is counted and reported
// (the first at once, then at most one line every 10 s).
class WebhookSink : public Sink {
public:
    WebhookSink(const std::string& url, const WebhookSettings& settings, std::size_t capacity, WarnFn warn);
    ~WebhookSink() override;

protected:
    void run() override;

private:
    struct Answer {
        CURLcode rc = CURLE_OK;
        long status = 0;
        std::string refusal;  // a redirect not followed, and why
    };
    static bool IsRedirect(long status);
    Answer post(CURL* curl, const QueuedEvent& ev);
    void reportRejection(uint64_t id, const std::string& why);

    std::string url_;
    WebhookSettings settings_;
    uint64_t rejectionsWarned_ = 0, rejectionsUnsaid_ = 0;
    std::chrono::steady_clock::time_point lastRejectionWarning_{};
};

}  // namespace tarvotool

#endif
