#!/usr/bin/env bash
# Installs what the build needs (Debian 12), configures, builds and runs every test.
# Usage: bash tools/test.sh [extra cmake arguments]
source "$(dirname "$0")/build_setup.sh"
build="${VQ36_BUILD_DIR:-build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300
