#include "log/tarn_log.h"

#include <cstdio>
#include <cstring>

#include "base/notes_capi.h"

LogLine::LogLine(int level, int configuredLevel, const char* format, va_list ap)
    : passes(LevelPasses(level, configuredLevel)) {
    if (passes) vsnprintf(text, sizeof text, format, ap);
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

namespace {
void WritePlain(const char* message) {
    char line[256] = {};
    AppendBounded(line, sizeof line, kBanner);
    AppendBounded(line, sizeof line, " ");
    AppendBounded(line, sizeof line, message);
    static char kText[] = "%s";  // the function takes a char*, not a const one
    AddInLogMessageText(kText, NOERROR, line);
}
}  // namespace

void LogPlain(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    const LogLine line(format, ap);
    va_end(ap);
    WritePlain(line.Text());
}

bool TARNLog::Init(const char* name, const LogLevelSetting& configuredLevel) {
    configured = &configuredLevel;
    prefix[0] = '\0';
    AppendBounded(prefix, sizeof prefix, kBanner);
    AppendBounded(prefix, sizeof prefix, " (");
    // Double every '%' of the name: the prefix is handed over as a format.
    char escaped[2 * sizeof prefix] = {};
    size_t j = 0;
    for (const char* p = name; *p && j + 2 < sizeof escaped; ++p) {
        if (*p == '%') escaped[j++] = '%';
        escaped[j++] = *p;
    }
    escaped[j] = '\0';
    AppendBounded(prefix, sizeof prefix, escaped);
    AppendBounded(prefix, sizeof prefix, ") ");
    AppendBounded(prefix, sizeof prefix, ": %s");
    return true;
}

void TARNLog::Printf(int level, const char* format, ...) const {
    va_list ap;
    va_start(ap, format);
    VPrintf(level, format, ap);
    va_end(ap);
}

void TARNLog::VPrintf(int level, const char* format, va_list ap) const {
    const LogLine line(level, configured ? configured->load(std::memory_order_relaxed) : 1, format, ap);
    if (line) WriteTaskLine(prefix, line.Text());
}

void WriteTaskLine(const char* prefix, const char* message) {
    if (prefix[0] == '\0') {
        // Not initialised: no task name to show yet.
        WritePlain(message);
        return;
    }
    // The prefix is a format with one "%s"; the function takes a char*.
    AddInLogMessageText(const_cast<char*>(prefix), NOERROR, message);
}

namespace {
class Detached final : public TaskContext {
public:
    void VLog(int level, const char* format, va_list ap) const override { TARNLog().VPrintf(level, format, ap); }
    void MarkNotInitialised() override {}
    void ReloadSucceeded() override {}
    bool IsHttpTask() const override { return false; }
    void BroadcastConfigRefresh() override {}
};
}  // namespace

const TaskContext& DetachedTask() {
    static const Detached detached;
    return detached;
}
