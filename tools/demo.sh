#!/usr/bin/env bash
# Installs what the demo needs (Debian 12), builds it and runs `vq36 demo`: two ASIO programs
# streaming to one VQ36 at once, their mix checked bit for bit.
# Usage: bash tools/demo.sh [vq36 demo options: --seconds S --out DIR]
source "$(dirname "$0")/build_setup.sh"
build="${VQ36_BUILD_DIR:-build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}"
cmake --build "$build" -j "$(nproc)" --target vq36 vq36_kernel_sys vq36_asio
"$build/tools/vq36" demo "$@"
