#include "transport/http_curl_head.h"

#include <cstdlib>
#include <cstring>

#include "base/ascii.h"
#include "transport/redirect.h"
#include "transport/www_authenticate.h"

namespace tarn::http {

bool ReadHeaderLine(const char* data, size_t n, bool secure, bool followRedirects, AnswerHead& head) {
    constexpr size_t kName = sizeof "WWW-Authenticate:" - 1;
    constexpr size_t kLocation = sizeof "Location:" - 1;
    auto value = [&](size_t name) {
        std::string v(data + name, n - name);
        while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
        return v;
    };
    if (n >= 5 && memcmp(data, "HTTP/", 5) == 0) {
        head.challengeBasic = false;  // the head of another answer begins
        head.inHead = true;
        head.location.clear();
        const char* space = static_cast<const char*>(memchr(data, ' ', n));
        head.headStatus = space ? strtol(std::string(space, data + n - space).c_str(), nullptr, 10) : 0;
    } else if (n >= 1 && n <= 2 && (data[0] == '\r' || data[0] == '\n')) {
        head.inHead = false;
        // Decided here, before curl would connect to the new address: curl's
        // own protocol limit would refuse it too, but without saying where.
        if (secure && followRedirects && IsRedirectStatus(head.headStatus) && LeavesHttps(head.location)) {
            head.refusedLocation = head.location;
            return false;
        }
    } else if (n > kName && AsciiEqualNoCase(data, "WWW-Authenticate:", kName)) {
        const std::string v = value(kName);
        if (OffersBasic(v.data(), v.size())) head.challengeBasic = true;
    } else if (n > kLocation && AsciiEqualNoCase(data, "Location:", kLocation)) {
        head.location = value(kLocation);
    }
    return true;
}

}  // namespace tarn::http
