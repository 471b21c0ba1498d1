// Byte codecs for what clients send: Basic credentials and form bodies.
#pragma once

#include <string>

namespace tarnsim {

// Standard base64 with optional '=' padding; ok is false on any other byte
// or on a byte after the padding.
std::string Base64Decode(const std::string& text, bool& ok);
// Lower-case hexadecimal of every byte, for records of raw bodies.
std::string Hex(const std::string& bytes);

}  // namespace tarnsim
