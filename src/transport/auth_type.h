// How a notice answers the processor's demand for credentials, from the
// configured AuthType text.
#pragma once

enum class AuthType { None = 0, Basic = 1, Session = 2 };

// "Basic" and "Session" as written (case included); anything else is None.
AuthType ParseAuthType(const char* text);
