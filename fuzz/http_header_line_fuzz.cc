// The head of the processor's answer comes from the network, one header line
// at a time. Each line is read within its length; the request's security
// never changes how a head is read, only whether a redirect is followed; and
// a transfer is stopped only for a secure redirect away from HTTPS.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "transport/http_curl_head.h"
#include "transport/redirect.h"

using tarn::http::AnswerHead;

namespace {

bool SameReading(const AnswerHead& a, const AnswerHead& b) {
    return a.challengeBasic == b.challengeBasic && a.inHead == b.inHead && a.headStatus == b.headStatus &&
           a.location == b.location;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool follow = data[0] & 1;
    const char* p = reinterpret_cast<const char*>(data + 1);
    const char* end = reinterpret_cast<const char*>(data + size);
    AnswerHead secure, plain;
    while (p <= end) {
        // One line as curl hands it: up to and with its '\n', in a buffer of
        // exactly its size so a read past it is caught.
        const char* nl = p;
        while (nl < end && *nl != '\n') ++nl;
        const char* next = nl < end ? nl + 1 : end;
        std::vector<char> line(p, next);
        const bool goesOn = tarn::http::ReadHeaderLine(line.data(), line.size(), true, follow, secure);
        if (!tarn::http::ReadHeaderLine(line.data(), line.size(), false, follow, plain)) abort();  // plain never stops
        if (!SameReading(secure, plain)) abort();
        if (!secure.location.empty() && (secure.location.back() == '\r' || secure.location.back() == '\n')) abort();
        if (line.size() >= 5 && std::string(line.data(), 5) == "HTTP/" &&
            (!secure.inHead || secure.challengeBasic || !secure.location.empty()))
            abort();  // a status line begins a head of its own
        if (!goesOn) {
            if (!follow || !tarn::http::IsRedirectStatus(secure.headStatus) ||
                !tarn::http::LeavesHttps(secure.location) || secure.refusedLocation != secure.location || secure.inHead)
                abort();
            break;
        }
        if (!secure.refusedLocation.empty()) abort();  // named only when the transfer stops
        if (next == end) break;
        p = next;
    }
    return 0;
}
