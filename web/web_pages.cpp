#include "web/web_pages.hpp"

namespace {

constexpr std::string_view kShutdownPage =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Shutting down</title><style>"
    "body{background:#121418;color:#e1e4e8;font-family:sans-serif;text-align:center;padding:50px;}"
    "</style></head><body><h2>Radio Tovrel Monitor is shutting down...</h2>"
    "<p>You can close this window.</p></body></html>";
static_assert(kShutdownPage.size() == 294, "browsers and scripts rely on the exact shut-down page");

}  // namespace

std::string_view ShutdownPage() { return kShutdownPage; }
