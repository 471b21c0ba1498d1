#include "host_calls.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace simcli {

std::string SelfDir() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    return std::filesystem::path(path).parent_path().string();
}

bool Check(STATUS s, const std::string& what) {
    if (s == 0) return true;
    char text[200];
    OSLoadString(0, ERR(s), text, sizeof text - 1);
    fprintf(stderr, "tarn-sim: %s failed: %s (0x%x)\n", what.c_str(), text, s);
    return false;
}

Db::Db(const std::string& path) { Check(NSFDbOpen(path.c_str(), &h), "open " + path); }

Db::~Db() {
    if (h) NSFDbClose(h);
}

}  // namespace simcli
