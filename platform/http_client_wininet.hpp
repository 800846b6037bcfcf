// What the WinINet client shows its own tests beyond the HttpSession interface. Windows only;
// portable code never includes this.
#pragma once

#include <cstdint>

// The INTERNET_FLAG_* bits a hop to url is opened with, for a request made with `flags`
// (HttpFlag bits). 0 when url is no http or https URL.
std::uint32_t WinInetHopFlags(const char* url, std::uint32_t flags, bool firstHop);

// Test hook: a call thread runs hook between taking its handle and making its call, where the
// thread may be descheduled for any time (null: nothing runs there).
void SetCallHookForTesting(void (*hook)());
