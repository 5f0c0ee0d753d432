// serve_command.cpp - the service's start, signals and end.
#include "tools/serve/serve_command.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "host/errors.h"
#include "tools/serve/http_auth.h"
#include "tools/serve/password_file.h"
#include "tools/serve/serve_http.h"
#include "tools/serve/site.h"

namespace tarvotool {

namespace {

// Warnings come from every camera's threads: one line at a time.
void SiteWarn(const std::string& message) {
    static std::mutex mu;
    std::lock_guard<std::mutex> lock(mu);
    Warn(message);
}

}  // namespace

int RunServe(const ServeCommand& cmd) {
    // The signals go to one thread that waits for them (sigwait), so that
    // no handler runs inside a camera's or the server's threads. Blocked
    // before any thread starts, so that every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    SiteConfig config = LoadSiteFile(cmd.site);
    const std::string host = config.host;
    const int port = config.port;
    std::unique_ptr<BasicAuth> auth;
    if (!config.authFile.empty()) auth = std::make_unique<BasicAuth>(ReadPasswordFile(config.authFile));
    Site site(cmd.site, std::move(config), SiteWarn);
    site.setAuth(auth.get());
    ServeHttp http(site, host, port, auth.get());
    try {
        http.bind();
    } catch (const ToolError& e) {
        site.stop(std::chrono::milliseconds(1000));
        throw ToolError(cmd.site + ": $.listen: " + e.what());
    }
    std::printf("tarvocoil serve: %s, %zu cameras\nopen %s in a browser; SIGHUP reloads, Ctrl-C stops.\n",
                cmd.site.c_str(), site.config().cameras.size(), http.url().c_str());
    std::fflush(stdout);
    const pthread_t waiter = pthread_self();
    std::atomic<bool> stopping{false};
    // serve() also returns when listening fails: the service ends then.
    std::thread server([&] {
        http.serve();
        if (!stopping.load()) pthread_kill(waiter, SIGTERM);
    });
    // Woken every minute without a signal, to close editors left open.
    const timespec housekeeping{60, 0};
    for (;;) {
        const int sig = sigtimedwait(&signals, nullptr, &housekeeping);
        if (sig < 0) {
            if (errno == EAGAIN) http.closeIdleEditors();
            continue;
        }
        if (sig == SIGHUP) {
            site.reload();
            continue;
        }
        break;
    }
    stopping.store(true);
    http.stop();
    server.join();
    site.stop(std::chrono::milliseconds(static_cast<int64_t>(cmd.flushTimeout * 1000.0)));
    return 0;
}

}  // namespace tarvotool
