// webhook_sink.h - events as HTTP POSTs of their JSON object.
#ifndef TARVOCOIL_TOOLS_WEBHOOK_SINK_H
#define TARVOCOIL_TOOLS_WEBHOOK_SINK_H

#include <chrono>
#include <string>
#include <vector>

#include "delivery.h"

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
// Content-Type: application/json. A 2xx answer delivers it. Network errors,
// timeouts, 408, 429 and 5xx are retried with backoff, holding back later
// events so that order is kept; any other answer (a 4xx: the receiver will
// never take this body) rejects the event, which is counted and reported.
class WebhookSink : public Sink {
public:
    WebhookSink(const std::string& url, const WebhookSettings& settings, std::size_t capacity, WarnFn warn);
    ~WebhookSink() override;

protected:
    void run() override;

private:
    std::string url_;
    WebhookSettings settings_;
};

}  // namespace tarvotool

#endif
