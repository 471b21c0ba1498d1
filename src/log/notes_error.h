// Notes statuses that must stop the work in hand become notes_error (its
// class and the status texts are the foundation's: base/status_text.h).
#pragma once

#include <cstdint>

#include "base/status_text.h"

// Throws notes_error "message: status text (0xNN)" for a non-zero status.
// Returns quietly for status 0 and for a null format: a caller that gives no
// message never raises anything.
void CheckNotesStatus(uint16_t status, const char* format, ...) __attribute__((format(printf, 2, 3)));
