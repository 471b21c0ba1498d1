#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, replays their corpora and fuzzes
# each for the given number of seconds (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
# clang and its libFuzzer run-time are no package run.sh installs (the
# run-time is only a recommendation of clang's): a machine without them gets
# them, or the run stops here saying so.
fuzzer_rt=$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null | head -1 || true)
if ! command -v clang++ >/dev/null || [ -z "$fuzzer_rt" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "fuzz: needs clang and libclang-rt-dev (apt-get install them)" >&2; exit 1; }
  apt-get update -qq; DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev >/dev/null
fi
out=build-fuzz
mkdir -p "$out"
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc -Isim -Isim/emu/include)
clang++ "${flags[@]}" fuzz/summary_entry_fuzz.cc src/config/summary_buffer.cc -o "$out/summary_entry_fuzz"
clang++ "${flags[@]}" fuzz/www_authenticate_fuzz.cc src/transport/www_authenticate.cc -o "$out/www_authenticate_fuzz"
clang++ "${flags[@]}" fuzz/http_header_line_fuzz.cc src/transport/http_curl_head.cc src/transport/redirect.cc \
  src/transport/www_authenticate.cc -o "$out/http_header_line_fuzz"
clang++ "${flags[@]}" fuzz/notes_ini_fuzz.cc src/transport/connection_settings.cc -o "$out/notes_ini_fuzz"
clang++ "${flags[@]}" fuzz/task_list_fuzz.cc src/ipc/task_list.cc -o "$out/task_list_fuzz"
# The time parser's file also holds NextTick, whose one host call (the clock)
# the target never reaches: it is given no definition rather than the host.
clang++ "${flags[@]}" -Isetup -Wl,--defsym=OSCurrentTIMEDATE=0 fuzz/resync_time_fuzz.cc setup/resync_time.cc \
  -o "$out/resync_time_fuzz"
for target in summary_entry www_authenticate http_header_line notes_ini task_list resync_time; do
  corpus=fuzz/corpus/$target
  work=$(mktemp -d)
  cp "$corpus"/* "$work"/
  echo "   $target: corpus replay"
  "$out/${target}_fuzz" -runs=0 "$corpus" 2>&1 | tail -1
  echo "   $target: fuzzing ${seconds}s"
  "$out/${target}_fuzz" -max_total_time="$seconds" -max_len=4096 "$work" 2>&1 | tail -1
  rm -rf "$work"
done
