// The embedded HTTP server: one thread, one connection at a time.
#pragma once

#include <cstddef>
#include <string>

struct Settings;
struct CoverSet;
struct WebSnapshot;

// What the server works on. All three must outlive the server thread.
struct WebContext {
    Settings* settings = nullptr;
    CoverSet* covers = nullptr;
    WebSnapshot* snapshot = nullptr;
};

// Opens a listening socket on port (all IPv4 interfaces) and starts the server thread.
// Returns false when the socket cannot be opened or the thread cannot start.
bool StartWebServer(WebContext& context, int port);
// Ends the server thread (waiting at most 1500 ms) and closes the socket. Safe after a failed start.
void StopWebServer();

// Answers one request held in request[0..length) by writing the response through send.
// Exposed for tests and the fuzzer; the server thread calls it for each connection.
class ResponseSink {
public:
    virtual ~ResponseSink() = default;
    virtual bool Send(const void* data, std::size_t length) = 0;
};
void HandleRequest(WebContext& context, const char* request, std::size_t length, ResponseSink& sink);
