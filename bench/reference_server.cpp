// The yardstick for the benchmark: the least a server of this kind can do. One thread: accept,
// one read, one fixed answer (the bytes of --answer-file), close. Prints "port <n>".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
using Sock = SOCKET;
static void CloseSock(Sock s) { closesocket(s); }
static bool Bad(Sock s) { return s == INVALID_SOCKET; }
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using Sock = int;
static void CloseSock(Sock s) { close(s); }
static bool Bad(Sock s) { return s < 0; }
#endif

namespace {

std::string ReadFile(const char* path) {
    std::string out;
    if (FILE* f = std::fopen(path, "rb")) {
        char buf[65536];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const char* answerFile = nullptr;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--answer-file") == 0) answerFile = argv[i + 1];
    }
    const std::string answer = answerFile ? ReadFile(answerFile) : std::string();
    if (answer.empty()) {
        std::fprintf(stderr, "usage: reference_server --answer-file <file>\n");
        return 2;
    }
#ifdef _WIN32
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
#endif
    const Sock listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (Bad(listener) || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, SOMAXCONN) != 0) {
        return 1;
    }
#ifdef _WIN32
    int len = sizeof addr;
#else
    socklen_t len = sizeof addr;
#endif
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::printf("port %d\n", ntohs(addr.sin_port));
    std::fflush(stdout);
    char request[2048];
    for (;;) {
        const Sock c = accept(listener, nullptr, nullptr);
        if (Bad(c)) continue;
        if (recv(c, request, sizeof request - 1, 0) > 0) {
#ifdef _WIN32
            send(c, answer.data(), static_cast<int>(answer.size()), 0);
#else
            send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
#endif
        }
        CloseSock(c);
    }
}
