// A 401's WWW-Authenticate value comes from the network: any bytes must be
// read within their length, and the answer must not depend on what follows.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "transport/www_authenticate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> value(data, data + size);  // exact size: overruns are caught
    const bool basic = tarn::http::OffersBasic(value.data(), value.size());
    // A value offering Basic still does with another challenge after it.
    value.insert(value.end(), {',', ' ', 'N', 'T', 'L', 'M'});
    if (basic && !tarn::http::OffersBasic(value.data(), value.size())) abort();
    return 0;
}
