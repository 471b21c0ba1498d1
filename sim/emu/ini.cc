// The data directory and notes.ini.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "emu/internal.h"
#include "osenv.h"

namespace fs = std::filesystem;

namespace emu {
namespace {

std::mutex gMutex;  // guards the data directory and notes.ini

std::string& DataDirRef() {
    static std::string dir = [] {
        const char* env = std::getenv("NOTES_DATA");
        return std::string(env && *env ? env : "./data");
    }();
    return dir;
}

// Set by NotesInitExtended when its notes.ini is not the data directory's.
std::string& IniFileRef() {
    static std::string file;
    return file;
}

std::string IniPath() { return IniFileRef().empty() ? DataDirRef() + "/notes.ini" : IniFileRef(); }

std::vector<std::pair<std::string, std::string>> ReadIni() { return detail::ReadIniFile(IniPath()); }

void WriteIni(const std::vector<std::pair<std::string, std::string>>& vars) {
    fs::create_directories(DataDirRef());
    std::ofstream out(IniPath(), std::ios::trunc);
    for (const auto& [k, v] : vars) out << k << '=' << v << '\n';
}

}  // namespace

namespace detail {

std::vector<std::pair<std::string, std::string>> ReadIniFile(const std::string& path) {
    std::vector<std::pair<std::string, std::string>> vars;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto eq = line.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        vars.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return vars;
}

bool SameNameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

void SetIniFile(const std::string& path) {
    std::lock_guard lock(gMutex);
    IniFileRef() = path;
}

}  // namespace detail

void SetDataDirectory(const std::string& dir) {
    std::lock_guard lock(gMutex);
    DataDirRef() = dir;
    IniFileRef().clear();
}

std::string DataDirectory() {
    std::lock_guard lock(gMutex);
    return DataDirRef();
}

std::string FilePathFor(const std::string& notesPath) {
    // Notes paths are case-insensitive, as on the server's file system.
    std::string rel = notesPath;
    for (char& c : rel) {
        if (c == '\\') c = '/';
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return DataDirectory() + "/" + rel;
}

void SetIniVariable(const std::string& name, const std::string& value) {
    std::lock_guard lock(gMutex);
    auto vars = ReadIni();
    bool found = false;
    for (auto& [k, v] : vars)
        if (detail::SameNameNoCase(k, name)) {
            v = value;
            found = true;
        }
    if (!found) vars.emplace_back(name, value);
    WriteIni(vars);
}

void RemoveIniVariable(const std::string& name) {
    std::lock_guard lock(gMutex);
    auto vars = ReadIni();
    std::erase_if(vars, [&](const auto& kv) { return detail::SameNameNoCase(kv.first, name); });
    WriteIni(vars);
}

}  // namespace emu

using emu::Op;
using emu::err::INVALID_HANDLE;

extern "C" {

EMU_EXPORT BOOL OSGetEnvironmentString(const char* name, char* buffer, WORD bufferLength) {
    if (emu::Fault(Op::GetEnvironmentString)) return FALSE;
    if (!name || !buffer) return FALSE;
    std::vector<std::pair<std::string, std::string>> vars;
    {
        std::lock_guard lock(emu::gMutex);
        vars = emu::ReadIni();
    }
    // bufferLength is the buffer's size - 1: the terminator fits after it.
    for (const auto& [k, v] : vars) {
        if (!emu::detail::SameNameNoCase(k, name)) continue;
        size_t n = std::min<size_t>(v.size(), bufferLength);
        memcpy(buffer, v.data(), n);
        buffer[n] = '\0';
        return TRUE;
    }
    buffer[0] = '\0';
    return FALSE;
}

}  // extern "C"
