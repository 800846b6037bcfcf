// The name this computer gives itself.
#pragma once

#include <string>

// The computer's host name as the system reports it: gethostname on POSIX, the DNS host name on
// Windows (the NetBIOS name where that is unavailable), in UTF-8. Empty when the system cannot
// say. Asks the system on every call: callers that need it often keep the answer.
std::string ComputerName();
