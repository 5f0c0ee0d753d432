// edit_http.h - the editor's HTTP server: cpp-httplib's request handling
// behind a gate that waits for request heads without holding a thread.
//
// cpp-httplib gives each connection a thread of a fixed pool for as long as
// the client takes to send its request, with only a per-read timeout: a few
// clients sending one byte every few seconds hold every thread. Here one
// thread collects the requests of all connections at once: the head, and a
// body of declared length up to maxBodyBytes. A connection goes to a worker
// thread only with all of that, and one that has not sent it within
// HttpLimits::requestTimeout is answered 408 and closed. (A body sent in
// chunks is read by the worker, within bodyTimeout.) Each connection
// carries one request (the answer says "Connection: close"), so every
// request passes the gate.
#ifndef TARVOCOIL_TOOLS_EDIT_EDIT_HTTP_H
#define TARVOCOIL_TOOLS_EDIT_EDIT_HTTP_H

#include <chrono>
#include <cstddef>
#include <string>

#include <httplib.h>

namespace tarvotool {

struct HttpLimits {
    std::chrono::milliseconds requestTimeout{10000};  // from the connection to the end of what the gate collects
    std::chrono::milliseconds bodyTimeout{30000};     // for the worker to read a body in chunks
    std::size_t maxHeadBytes = 64 * 1024;             // larger heads get 431
    std::size_t maxBodyBytes = 1 << 20;               // larger declared bodies are left to the handlers to refuse
    int maxConnectionsPerAddress = 32;             // open at once; more get 503
    int maxConnections = 256;
    int workers = 8;
};

class GatedHttpServer : public httplib::Server {
public:
    explicit GatedHttpServer(const HttpLimits& limits = HttpLimits{});
    ~GatedHttpServer() override;

private:
    class Gate;
    friend class Gate;

    // Called by cpp-httplib with each accepted connection: hands it to the gate.
    bool process_and_close_socket(socket_t sock) override;
    // One request on a connection whose head has arrived.
    void serveOne(int fd, std::string received);

    HttpLimits limits_;
    Gate* gate_ = nullptr;  // the gate of the running listen(), owned by cpp-httplib
};

}  // namespace tarvotool

#endif
