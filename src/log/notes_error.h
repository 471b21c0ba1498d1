// Notes statuses that must stop the work in hand become notes_error.
#pragma once

#include <cstdint>
#include <stdexcept>

namespace NotesWrapper {

class notes_error : public std::runtime_error {
public:
    notes_error(uint16_t status, const char* text) : std::runtime_error(text), status(status) {}
    uint16_t status;
};

}  // namespace NotesWrapper

// Throws notes_error "message: status text (0xNN)" for a non-zero status.
// Returns quietly for status 0 and for a null format: a caller that gives no
// message never raises anything.
void CheckNotesStatus(uint16_t status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The host's text for a status, always terminated within size bytes.
void NotesStatusText(uint16_t status, char* out, uint16_t size);

// A status's text as a line shows it; "Unknown error code N" where the host
// has none.
class StatusText {
public:
    explicit StatusText(uint16_t status) { NotesStatusText(status, text, sizeof text); }
    const char* c_str() const { return text; }

private:
    char text[200];
};
