#!/usr/bin/env bash
# Builds the project twice more, with AddressSanitizer+UndefinedBehaviorSanitizer and with
# ThreadSanitizer, and runs the tests each covers:
#   build-asan  every test that does not stream in real time (label *-realtime left out)
#   build-tsan  the labels kernel-ioctl, machine, vq36-model and asio-* (real-time ones left out)
# Every sanitizer report, of a test program or of any process it starts, is written to a
# report folder; one report fails the run, as does a failing test.
# Usage: bash tools/sanitize.sh [asan|tsan]...   (both when none is named)
source "$(dirname "$0")/build_setup.sh"
jobs="$(nproc)"
kinds=("$@")
[ "${#kinds[@]}" -eq 0 ] && kinds=(asan tsan)

status=0
for kind in "${kinds[@]}"; do
  case "$kind" in
    asan)
      build=build-asan
      flags=(-DVQ36_SANITIZE=ON)
      select=(-LE 'realtime')
      ;;
    tsan)
      build=build-tsan
      flags=(-DVQ36_TSAN=ON)
      select=(-L '^(kernel-ioctl|machine|vq36-model|asio-[a-z]+)$')
      ;;
    *)
      echo "tools/sanitize.sh: unknown sanitizer $kind (asan or tsan)" >&2
      exit 2
      ;;
  esac
  reports="$here/$build/sanitizer-reports"
  echo "== $kind: building $build"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVQ36_BENCH=OFF \
    "${launcher[@]}" "${flags[@]}" >/dev/null
  cmake --build "$build" -j "$jobs"
  rm -rf "$reports"
  mkdir -p "$reports"
  echo "== $kind: testing"
  # log_path: each process writes its reports to its own file there (name.pid).
  if ! ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1" \
       UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1" \
       TSAN_OPTIONS="log_path=$reports/tsan:second_deadlock_stack=1" \
       ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 600 "${select[@]}"; then
    echo "== $kind: tests failed" >&2
    status=1
  fi
  if [ -n "$(find "$reports" -type f -size +0 -print -quit)" ]; then
    echo "== $kind: sanitizer reports:" >&2
    for f in "$reports"/*; do
      [ -s "$f" ] || continue
      echo "---- $f" >&2
      cat "$f" >&2
    done
    status=1
  else
    echo "== $kind: no sanitizer report"
  fi
done
exit "$status"
