// The console (AddInLogMessageText and its kin) and the texts of statuses.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "emu/internal.h"
#include "emu/platform.h"
#include "emu/status_text.h"
#include "addin.h"
#include "osmisc.h"

namespace emu {
namespace {

std::mutex gMutex;  // guards the console
std::condition_variable gConsoleChanged;

std::deque<std::string> gConsole;
constexpr size_t kConsoleKeep = 20000;
bool gEcho = true;

struct KnownStatus {
    STATUS status;
    const char* text;
};
const KnownStatus kStatusTexts[] = {
    {err::NOEXIST, "File does not exist"},
    {err::INVALID_HANDLE, "Invalid or nonexistent handle"},
    {err::NOT_FOUND, "Entry not found in index"},
    {err::ITEM_NOT_FOUND, "Note item not found"},
    {err::NOTE_DELETED, "Document has been deleted"},
    {err::BAD_NOTEID, "Invalid document identifier"},
    {err::DB_IO, "Database file could not be read or written"},
    {err::NO_MEMORY, "Insufficient memory"},
    {err::EM_NO_RECURSION, "No more Extension Manager recursion identifiers"},
    {err::MQ_NOEXIST, "Message queue does not exist"},
    {err::MQ_EMPTY, "No message is waiting in the queue"},
    {err::MQ_BFR_TOO_SMALL, "Message is larger than the receive buffer"},
    {err::MQ_QUOTA, "Message queue is full"},
    {err::MQ_TIMEOUT, "Timed out waiting for a message"},
    {err::NAME_LENGTH, "Name too long"},
    {err::IN_USE, "Memory is still locked"},
    {err::RUNTIME_ENDED, "Notes needs to be initialized before calling into NSF"},
    {err::BAD_FLAGS, "Invalid combination of flags"},
    {err::NO_MODIFIED_NOTES, "No documents have been modified since specified time."},
    {err::INJECTED, "Injected failure"},
    {err::MQ_NAME, "Invalid message queue name"},
    {err::STAT_NOT_FOUND, " not found in server statistics table"},
    {err::STAT_NOT_SET, " cannot be reset."},
    {err::INVALID_ARGS, "Invalid arguments"},
    {err::DXL_IMPORT_FAILED, "DXL importer operation failed"},
    {err::DXL_BAD_OPTION, "Invalid DXL importer option"},
    {err::DB_EXISTS, "Database already exists"},
    {err::DB_IN_USE, "File cannot be shared while in use by another process"},
};

}  // namespace

void SetConsoleEcho(bool on) {
    std::lock_guard lock(gMutex);
    gEcho = on;
}

std::vector<std::string> ConsoleLines() {
    std::lock_guard lock(gMutex);
    return {gConsole.begin(), gConsole.end()};
}

bool WaitForConsoleLine(const std::string& ending, std::chrono::milliseconds limit) {
    std::unique_lock lock(gMutex);
    return gConsoleChanged.wait_for(lock, limit, [&] {
        return std::any_of(gConsole.begin(), gConsole.end(), [&](const std::string& l) { return l.ends_with(ending); });
    });
}

void ClearConsole() {
    std::lock_guard lock(gMutex);
    gConsole.clear();
}

namespace {
std::mutex gOutputMutex;  // whole lines on stdout
}  // namespace

void WriteOutputLine(const std::string& line) {
    const std::string out = line + "\n";
    std::lock_guard lock(gOutputMutex);
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
}

namespace detail {

void ConsoleWrite(const char* line) {
    bool echo;
    std::string dir = DataDirectory();
    {
        std::lock_guard lock(gMutex);
        gConsole.emplace_back(line);
        if (gConsole.size() > kConsoleKeep) gConsole.pop_front();
        echo = gEcho;
    }
    gConsoleChanged.notify_all();
    if (echo) WriteOutputLine(line);
    const std::string out = std::string(line) + "\n";
    // One append per line, so lines of several task processes never interleave.
    platform::AppendToFile(dir + "/console.log", out);
}

}  // namespace detail
}  // namespace emu

using emu::Op;
using emu::err::INVALID_HANDLE;

extern "C" {

namespace {
void ConsoleLine(const char* text, STATUS additional) {
    if (additional == NOERROR) return emu::detail::ConsoleWrite(text);
    // "primary: secondary", the secondary being the status's text; the
    // host's own console names a code it has no text for.
    std::string line = std::string(text) + ": " + emu::StatusText(additional);
    emu::detail::ConsoleWrite(line.c_str());
}
}  // namespace

EMU_EXPORT void AddInLogMessageText(char* format, STATUS additional, ...) {
    if (emu::Fault(Op::LogMessage) || !format) return;
    // The server's console line is bounded; longer lines are cut.
    char line[1024];
    va_list ap;
    va_start(ap, additional);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    ConsoleLine(line, additional);
}

EMU_EXPORT void AddInLogErrorText(char* format, STATUS additional, char* arg) {
    if (emu::Fault(Op::LogMessage) || !format) return;
    char line[1024];
    // One specifier, filled from arg (which may be NULL: shown as empty).
    snprintf(line, sizeof line, format, arg ? arg : "");
    ConsoleLine(line, additional);
}

EMU_EXPORT WORD OSLoadString(HMODULE, STATUS status, char* buffer, WORD bufferLength) {
    if (!buffer) return 0;
    if (emu::Fault(Op::LoadStatusString)) {
        buffer[0] = '\0';
        return 0;
    }
    const char* text = nullptr;
    for (const auto& st : emu::kStatusTexts)
        if (st.status == ERR(status)) text = st.text;
    // The C API reference (OSLoadString): a code without a text
    // answers 0 and leaves the buffer empty.
    if (!text) {
        buffer[0] = '\0';
        return 0;
    }
    size_t n = std::min<size_t>(strlen(text), bufferLength);
    memcpy(buffer, text, n);
    buffer[n] = '\0';
    return static_cast<WORD>(n);
}

}  // extern "C"
