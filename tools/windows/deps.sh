#!/usr/bin/env bash
# Builds what the mingw-w64 build needs and the distribution has no Windows
# package of: Boost.Thread (static, from Debian's boost1.74 source), SQLite
# (static, from Debian's sqlite3 source) and libxml2 (static, from Debian's
# libxml2 source with Debian's patches applied); and for the Linux server build a
# static Boost.Thread that can go inside a shared object (linux64/). Once, into a cache folder outside
# the tree; prints that folder. Boost's headers are the system's own, the
# same 1.74, so the library and the headers cannot disagree.
#
#   tools/windows/deps.sh            # -> $TARN_WIN_DEPS (default ~/.cache/tarn-win)
set -euo pipefail
cache=${TARN_WIN_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/tarn-win}
cxx=x86_64-w64-mingw32-g++-posix
cc=x86_64-w64-mingw32-gcc-posix
ar=x86_64-w64-mingw32-ar
mkdir -p "$cache"
log="$cache/build.log"
: >"$log"

need_pkgs=()
command -v $cxx >/dev/null || need_pkgs+=(g++-mingw-w64-x86-64-posix)
command -v dpkg-source >/dev/null || need_pkgs+=(dpkg-dev)
command -v tclsh >/dev/null || need_pkgs+=(tcl)  # SQLite makes its amalgamation with it
command -v cmake >/dev/null || need_pkgs+=(cmake)  # libxml2's build
[ -d /usr/include/boost/thread ] || need_pkgs+=(libboost-thread-dev)
if [ ${#need_pkgs[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "deps: need ${need_pkgs[*]} (run as root or install them)" >&2; exit 1; }
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_pkgs[@]}" >>"$log"
fi

# A deb-src line for the archive the machine already uses, if none is there.
ensure_deb_src() {
  if grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then return; fi
  [ "$(id -u)" -eq 0 ] || { echo "deps: apt has no deb-src entry; add one (as root) and rerun" >&2; exit 1; }
  local f=/etc/apt/sources.list.d/debian.sources
  if [ -f "$f" ]; then
    # deb822: the same stanzas with deb-src beside deb.
    sed 's/^Types: deb$/Types: deb deb-src/' "$f" >"$f.new" && mv "$f.new" "$f"
  else
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/tarn-src.list
  fi
  apt-get update -qq
}

fetch() {  # fetch PACKAGE -> unpacked source dir on stdout
  local pkg=$1 dir="$cache/src/$1"
  if [ ! -f "$dir/.fetched" ]; then
    ensure_deb_src
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$dir" && apt-get source --download-only "$pkg" >>"$log" 2>&1)
    touch "$dir/.fetched"
  fi
  echo "$dir"
}

# Boost.Thread: only the five Windows sources come out of the 100 MB tarball.
if [ ! -f "$cache/lib/libboost_thread.a" ]; then
  src=$(fetch boost1.74)
  tarball=$(compgen -G "$src/boost1.74_*.orig.tar.*")
  files=(libs/thread/src/win32/thread.cpp libs/thread/src/win32/tss_dll.cpp libs/thread/src/win32/tss_pe.cpp
         libs/thread/src/win32/thread_primitives.cpp libs/thread/src/future.cpp)
  rm -rf "$src/thread" && mkdir -p "$src/thread"
  tar xf "$tarball" -C "$src/thread" --strip-components=1 --wildcards "${files[@]/#/*/}"
  inc=$(mktemp -d); ln -s /usr/include/boost "$inc/boost"
  obj=$(mktemp -d)
  for f in "${files[@]}"; do
    $cxx -std=c++17 -O2 -DBOOST_THREAD_BUILD_LIB -DBOOST_THREAD_USE_LIB -DNDEBUG -isystem "$inc" \
      -c "$src/thread/$f" -o "$obj/$(basename "$f" .cpp).o" 2>>"$log"
  done
  mkdir -p "$cache/lib"
  $ar rcs "$cache/lib/libboost_thread.a" "$obj"/*.o
  rm -rf "$inc" "$obj"
fi

# The Linux server build's Boost.Thread (src/host/toolkit.cmake): static and
# position-independent, to go inside libtarn.so (Debian's own libboost_thread.a
# is not built with -fPIC). Built with the system's compiler.
if [ ! -f "$cache/linux64/libboost_thread.a" ]; then
  src=$(fetch boost1.74)
  tarball=$(compgen -G "$src/boost1.74_*.orig.tar.*")
  rm -rf "$src/thread-linux" && mkdir -p "$src/thread-linux"
  tar xf "$tarball" -C "$src/thread-linux" --strip-components=1 --wildcards '*/libs/thread/src/pthread/*' \
    '*/libs/thread/src/future.cpp'
  obj=$(mktemp -d)
  for f in libs/thread/src/pthread/thread.cpp libs/thread/src/pthread/once.cpp libs/thread/src/future.cpp; do
    g++ -std=c++17 -O2 -fPIC -fvisibility=hidden -DBOOST_THREAD_BUILD_LIB -DBOOST_THREAD_USE_LIB -DNDEBUG \
      -c "$src/thread-linux/$f" -o "$obj/$(basename "$f" .cpp).o" 2>>"$log"
  done
  mkdir -p "$cache/linux64"
  ar rcs "$cache/linux64/libboost_thread.a" "$obj"/*.o
  rm -rf "$obj"
fi

# SQLite: Debian's source carries the amalgamation's inputs; build the
# amalgamation there if it ships none, else take it as it is.
if [ ! -f "$cache/lib/libsqlite3.a" ]; then
  src=$(fetch sqlite3)
  tarball=$(compgen -G "$src/sqlite3_*.orig.tar.*" | grep -v www || true)
  rm -rf "$src/tree" && mkdir -p "$src/tree"
  tar xf "$tarball" -C "$src/tree" --strip-components=1
  a="$src/tree/sqlite3.c"
  if [ ! -f "$a" ]; then
    (cd "$src/tree" && mkdir -p bld && cd bld && ../configure --disable-tcl >>"$log" 2>&1 && make sqlite3.c >>"$log" 2>&1)
    a="$src/tree/bld/sqlite3.c"
    cp "$src/tree/bld/sqlite3.h" "$src/tree/sqlite3.h"
  fi
  mkdir -p "$cache/include" "$cache/lib"
  cp "$(dirname "$a")/sqlite3.h" "$cache/include/"
  obj=$(mktemp -d)
  # Threadsafe and with WAL, as the Linux build of the library is.
  $cc -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_DEFAULT_WAL_SYNCHRONOUS=1 \
    -c "$a" -o "$obj/sqlite3.o" 2>>"$log"
  $ar rcs "$cache/lib/libsqlite3.a" "$obj/sqlite3.o"
  rm -rf "$obj"
fi
# libxml2 for the stand-in's DXL importer and tarn-setup's kit: Debian's
# source with its patches (the security fixes), built with the library's own
# CMake build, only the parser and tree (no iconv, zlib, lzma, ICU, HTTP or
# FTP: DXL is UTF-8 text read from memory). Its users define LIBXML_STATIC.
if [ ! -f "$cache/lib/libxml2.a" ]; then
  src=$(fetch libxml2)
  rm -rf "$src/tree" "$src/bld" "$src/inst"
  (cd "$src" && dpkg-source --no-check -x libxml2_*.dsc tree >>"$log" 2>&1)
  # HAVE_PTHREAD_H set empty: Win32 threads, as an MSVC build of it has, not
  # winpthread's. LIBXML_STATIC for its own compile too: its build gives it
  # to users only, and without it every object carries dllexport directives
  # (the DLL it goes into would export all of libxml2).
  cmake -S "$src/tree" -B "$src/bld" -DCMAKE_TOOLCHAIN_FILE="$(cd "$(dirname "$0")/../.." && pwd)/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS=-DLIBXML_STATIC -DCMAKE_INSTALL_PREFIX="$src/inst" -DBUILD_SHARED_LIBS=OFF -DHAVE_PTHREAD_H= \
    -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_LZMA=OFF -DLIBXML2_WITH_ZLIB=OFF -DLIBXML2_WITH_ICU=OFF \
    -DLIBXML2_WITH_HTTP=OFF -DLIBXML2_WITH_FTP=OFF -DLIBXML2_WITH_PYTHON=OFF -DLIBXML2_WITH_PROGRAMS=OFF \
    -DLIBXML2_WITH_TESTS=OFF >>"$log" 2>&1
  cmake --build "$src/bld" -j2 >>"$log" 2>&1
  cmake --install "$src/bld" >>"$log" 2>&1
  mkdir -p "$cache/include" "$cache/lib"
  rm -rf "$cache/include/libxml"
  cp -r "$src/inst/include/libxml2/libxml" "$cache/include/"
  cp "$src/inst/lib/libxml2.a" "$cache/lib/"
  rm -rf "$src/tree" "$src/bld" "$src/inst"
fi
echo "$cache"
