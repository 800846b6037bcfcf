// The two constant pages the server sends: the page at "/" (web/page.html, embedded at build
// time with its exact length) and the short page that "/stop" answers with.
#pragma once

#include <string_view>

std::string_view WebPage();
std::string_view ShutdownPage();
