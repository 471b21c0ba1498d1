// Visual C++ has no <unistd.h> (.ci/mingw-check puts this folder first).
#error "<unistd.h> is POSIX: Visual C++ has none"
