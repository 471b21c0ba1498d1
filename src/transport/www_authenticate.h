// Reading a 401's WWW-Authenticate value: network bytes, so any text must be
// read safely.
#pragma once

#include <cstddef>

namespace tarn::http {

// True when the value offers the Basic scheme. The value lists challenges
// and their parameters, all separated by commas: an element whose first word
// is not followed by '=' starts a challenge, and that word is its scheme
// (any case). Quoted strings may hold commas and escaped quotes.
bool OffersBasic(const char* value, size_t length);

}  // namespace tarn::http
