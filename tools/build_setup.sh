# The set-up that tools/test.sh, tools/sanitize.sh and tools/demo.sh share (sourced, not run):
# strict mode, the checkout as the working folder ($here), the Debian packages the build needs,
# and the compiler launcher ($launcher: ccache when it is there, else nothing) for cmake.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
bash tools/install-deps.sh
launcher=()
if command -v ccache >/dev/null 2>&1; then
  # Paths relative to the checkout, so that another clone of the tree finds the same objects.
  export CCACHE_BASEDIR="$here" CCACHE_NOHASHDIR=true
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
