// The times tarn-setup resync takes and prints. A TIMEDATE as the C API lays
// it out: Innards[0] the hundredths of a second since midnight GMT,
// Innards[1] the Julian day in its low 24 bits (zone and daylight-saving
// bits above, ignored here: every time is handled in GMT).
#pragma once

#include <cstdint>
#include <string>

#include "base/notes_capi.h"

namespace tarnsetup {

// Hundredths of a second since 1970-01-01 00:00 GMT.
int64_t Hundredths(const TIMEDATE& t);
TIMEDATE FromHundredths(int64_t hundredths);

// "YYYY-MM-DD HH:MM" in the server's local time, or the exact form Format
// prints ("YYYY-MM-DDTHH:MM:SS.hhZ", GMT). False for anything else.
bool ParseTime(const std::string& text, TIMEDATE* out);
// The exact form: it parses back to the same TIMEDATE.
std::string FormatTime(const TIMEDATE& t);

// The current time once the next hundredth has begun (OSCurrentTIMEDATE):
// every change stamped before the call is earlier than it.
TIMEDATE NextTick();

}  // namespace tarnsetup
