// Visual C++ has no <strings.h> (.ci/mingw-check puts this folder first).
#error "<strings.h> is POSIX: Visual C++ has none (compare ASCII text with base/ascii.h)"
