#include "log/tarn_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "config/tarn_config.h"
#include "base/notes_capi.h"
#include "host/tarn_session.h"

bool LevelPasses(int level, int configuredLevel) {
    if (level == 2) return configuredLevel >= 2;
    if (level == 3) return configuredLevel == 3;
    return true;
}

void CopyBounded(char* dst, size_t size, const char* src) {
    if (size == 0) return;
    size_t n = src ? strnlen(src, size - 1) : 0;
    if (n) memcpy(dst, src, n);
    dst[n] = '\0';
}

void AppendBounded(char* dst, size_t size, const char* src) {
    size_t used = strnlen(dst, size);
    if (used >= size) return;
    CopyBounded(dst + used, size - used, src);
}

void LogPlain(const char* format, ...) {
    char message[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    char line[256] = {};
    AppendBounded(line, sizeof line, kBanner);
    AppendBounded(line, sizeof line, " ");
    AppendBounded(line, sizeof line, message);
    static char kText[] = "%s";  // the function takes a char*, not a const one
    AddInLogMessageText(kText, NOERROR, line);
}

bool TARNLog::Init(TARNSession* session) {
    config = session->GetConfig();
    prefix[0] = '\0';
    AppendBounded(prefix, sizeof prefix, kBanner);
    AppendBounded(prefix, sizeof prefix, " (");
    // Double every '%' of the name: the prefix is handed over as a format.
    char escaped[2 * sizeof session->processName] = {};
    size_t j = 0;
    for (const char* p = session->processName; *p && j + 2 < sizeof escaped; ++p) {
        if (*p == '%') escaped[j++] = '%';
        escaped[j++] = *p;
    }
    escaped[j] = '\0';
    AppendBounded(prefix, sizeof prefix, escaped);
    AppendBounded(prefix, sizeof prefix, ") ");
    AppendBounded(prefix, sizeof prefix, ": %s");
    return true;
}

void TARNLog::Write(int level, const char* text) const {
    int configured = config ? config->GetLogLevel() : 1;
    if (!LevelPasses(level, configured)) return;
    if (prefix[0] == '\0') {
        // Not initialised: no task name to show yet.
        LogPlain("%s", text);
        return;
    }
    // The prefix is a format with one "%s"; the function takes a char*.
    AddInLogMessageText(const_cast<char*>(prefix), NOERROR, text);
}
