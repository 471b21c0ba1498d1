// The host's text for a status, looked up one way for the add-in and the
// tools alike (OSLoadString without flags, as the reference asks).
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "base/notes_capi.h"

namespace NotesWrapper {

// A Notes status that stops the work in hand, with the line that says why.
class notes_error : public std::runtime_error {
public:
    notes_error(uint16_t status, const char* text) : std::runtime_error(text), status(status) {}
    uint16_t status;
};

}  // namespace NotesWrapper

// The host's own text, terminated within size bytes; false (and out empty)
// when the host has none for the code.
inline bool HostStatusText(uint16_t status, char* out, uint16_t size) {
    if (size == 0) return false;
    out[0] = '\0';
    // hModule 0: required on UNIX; a pointer-sized 0 for either HMODULE form.
    const WORD n = OSLoadString(0, ERR(status), out, static_cast<WORD>(size - 1));
    out[size - 1] = '\0';
    return n != 0 && out[0] != '\0';
}

// The text as a console line shows it; "Unknown error code N" where the host
// has none, so the line still names the code (without its flags).
inline void NotesStatusText(uint16_t status, char* out, uint16_t size) {
    if (size == 0) return;
    if (!HostStatusText(status, out, size))
        snprintf(out, size, "Unknown error code %u", static_cast<unsigned>(ERR(status)));
}

class StatusText {
public:
    explicit StatusText(uint16_t status) { NotesStatusText(status, text, sizeof text); }
    const char* c_str() const { return text; }
    std::string str() const { return text; }

private:
    char text[200];
};

// The text with the whole status beside it, as tarn-setup create and check
// print it: "text (0x0222)", or "status 0x0222" where the host has none.
inline std::string StatusTextWithCode(uint16_t status) {
    char text[256];
    const bool known = HostStatusText(status, text, sizeof text);
    char code[16];
    snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(status));
    return known ? std::string(text) + " (" + code + ")" : std::string("status ") + code;
}
