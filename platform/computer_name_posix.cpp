#include "platform/computer_name.hpp"

#include <unistd.h>

#include <cstring>

std::string ComputerName() {
    // POSIX leaves a name that does not fit unterminated, or cut without saying so: the buffer
    // is far larger than any host name (HOST_NAME_MAX is 64 on Linux), and its last byte stays 0.
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return std::string(name, strnlen(name, sizeof name - 1));
}
