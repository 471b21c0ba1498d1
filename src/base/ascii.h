// Case-insensitive comparison of ASCII text (header names, schemes, units,
// task names): locale-free, and the same on every C run-time, whose own
// calls differ (strcasecmp is POSIX only, _stricmp MSVC's only).
#pragma once

#include <cstddef>
#include <string>

inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Lower-cases the ASCII letters in place; every other byte (UTF-8 included)
// stays as it is.
inline void LowerAscii(char* text) {
    for (; *text; ++text) *text = AsciiLower(*text);
}
inline void LowerAscii(std::string& text) {
    for (char& c : text) c = AsciiLower(c);
}

// True when a and b agree in their first n characters, ASCII letters of
// either case being equal (as strncasecmp(a, b, n) == 0).
inline bool AsciiEqualNoCase(const char* a, const char* b, size_t n = static_cast<size_t>(-1)) {
    for (size_t i = 0; i < n; ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
        if (a[i] == '\0') return true;
    }
    return true;
}
