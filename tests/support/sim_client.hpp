// Drives the station simulator's control interface from tests (plain blocking HTTP on loopback).
#pragma once

#include <string>
#include <string_view>

// One raw HTTP exchange with 127.0.0.1:port: sends `request` as it stands, returns everything
// the server sent until it closed (empty on failure). Bounded by timeoutMs for each step.
std::string RawHttpExchange(int port, std::string_view request, int timeoutMs = 5000);

// Quotes text as a JSON string.
std::string JsonQuote(std::string_view text);

class SimControl {
public:
    explicit SimControl(int port) : port_(port) {}
    int port() const { return port_; }
    std::string BaseUrl() const;  // "http://127.0.0.1:<port>"
    // POST /_sim/set with the given JSON object text; true when the simulator took it.
    bool Set(std::string_view jsonSpec);
    // Convenience: a path answers status with body (bytes, sent base64-encoded).
    bool SetBody(std::string_view path, std::string_view body, int status = 200,
                 std::string_view contentType = "text/plain; charset=utf-8");
    bool Reset();
    // POST /_sim/station with the given JSON order (channel texts, status-document mounts).
    bool Station(std::string_view jsonOrder);
    // GET /_sim/log: the JSON list of requests seen.
    std::string Log();
    // How many requests the log holds for exactly this target (path and query).
    int Requests(std::string_view target);

private:
    int port_;
};
