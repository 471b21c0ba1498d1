// The head of an answer, read one header line at a time as libcurl hands the
// lines over: bytes from the network, so a pure function of them and the
// state it fills, which the fuzz target drives without libcurl.
#pragma once

#include <cstddef>
#include <string>

namespace tarn::http {

// What the heads of a send's answers have said so far. A send may see
// several (a 401 curl answers, the redirects it follows): each status line
// starts a new one.
struct AnswerHead {
    bool challengeBasic = false;  // in the answer whose head is being read
    bool inHead = false;          // a status line came, the head's end not yet
    long headStatus = 0;          // of the answer whose head is being read
    std::string location;         // its Location, if any
    std::string refusedLocation;  // a secure request's redirect away from https, not followed
};

// One header line, its CR LF included. False when the transfer must stop
// here: a secure request (`secure`) that follows redirects got one away from
// HTTPS; refusedLocation then names it.
bool ReadHeaderLine(const char* data, size_t n, bool secure, bool followRedirects, AnswerHead& head);

}  // namespace tarn::http
