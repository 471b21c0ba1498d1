// Reading a redirect's Location: network bytes, decided the same way by both
// HTTP clients, so a secure notice leaves HTTPS on neither.
#pragma once

#include <cstdint>
#include <string>

namespace tarn::http {

// 301, 302, 303, 307 and 308: the answers a client follows.
bool IsRedirectStatus(long status);

// True when the Location names a scheme other than https (any case). A
// relative one ("/path", "path", "//host/path") keeps the scheme of the
// request it answers, so it does not leave HTTPS. Blanks around are ignored.
bool LeavesHttps(const std::string& location);

// The Location as a console line may show it: scheme, host, port and path,
// without user information, query or fragment (a notice's query carries its
// access token), and without control characters.
std::string LocationForLog(const std::string& location);

}  // namespace tarn::http
