// The simulator's other hosts (a second plain listener, a TLS one) as the HTTP client tests see
// them.
#pragma once

#include <cstdlib>
#include <string>

#include "tests/support/sim_client.hpp"

struct SimHosts {
    int second = 0;
    int https = 0;
    std::string httpsCert;  // PEM
};

// Reads GET /_sim/hosts of the simulator on simPort. False when it cannot be read.
inline bool ReadSimHosts(int simPort, SimHosts& out) {
    const std::string reply = RawHttpExchange(simPort, "GET /_sim/hosts HTTP/1.0\r\n\r\n");
    const std::size_t body = reply.find("\r\n\r\n");
    if (body == std::string::npos) return false;
    auto number = [&](const char* key) {
        const std::size_t at = reply.find(std::string("\"") + key + "\": ", body);
        return at == std::string::npos ? 0 : std::atoi(reply.c_str() + at + std::char_traits<char>::length(key) + 4);
    };
    out.second = number("second");
    out.https = number("https");
    // The PEM is plain base64 text: only its line ends are escaped.
    const std::string key = "\"https_cert\": \"";
    std::size_t at = reply.find(key, body);
    out.httpsCert.clear();
    for (at = at == std::string::npos ? reply.size() : at + key.size(); at < reply.size() && reply[at] != '"'; ++at) {
        if (reply[at] == '\\' && at + 1 < reply.size()) {
            out.httpsCert.push_back(reply[++at] == 'n' ? '\n' : reply[at]);
        } else {
            out.httpsCert.push_back(reply[at]);
        }
    }
    return out.second != 0;
}
