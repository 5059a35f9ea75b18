#!/usr/bin/env bash
# The test tree on a real other platform: the unit tests cross-built for
# 64-bit Windows, warnings as errors, against a GoogleTest built from
# Debian's sources (/usr/src/googletest), and run under wine64. Both are
# built with the Windows presets' toolchain, MinGW-w64's POSIX-threads
# compilers, whose std::thread and std::mutex the tool and GoogleTest use.
#
# Prints the configure lines that say which tests are left out, then
# GoogleTest's PASSED line; on a failure, the end of the failing step's log.
#
# Usage: tests/windows/run_unit_tests.sh   (from anywhere; needs wine64,
# googletest and the MinGW-w64 compilers: apt-get install wine64 libgtest-dev
# g++-mingw-w64-x86-64; a few minutes on two cores)
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$PWD

scratch=$(mktemp -d /tmp/line_shuffler_win_unit.XXXXXX)
export WINEDEBUG=-all WINEPREFIX="$scratch/wineprefix"
wine=/usr/lib/wine/wine64
[[ -x $wine ]] || wine=$(command -v wine64)
wineserver=/usr/lib/wine/wineserver64
[[ -x $wineserver ]] || wineserver=$(command -v wineserver || echo true)
cleanup() {
    # The wineserver of the scratch prefix, if the tests started one.
    [[ -d $WINEPREFIX ]] && "$wineserver" -k 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

# step LOG DESCRIPTION COMMAND... -- runs COMMAND with its output in LOG;
# shows the end of LOG and stops if it fails.
step() {
    local log=$scratch/$1 description=$2
    shift 2
    "$@" >"$log" 2>&1 || {
        tail -n 30 "$log" >&2
        echo "run_unit_tests: $description failed" >&2
        exit 1
    }
}

cat >"$scratch/mingw-tests.cmake" <<EOF
include($source_dir/cmake/mingw-x86_64.cmake)
list(APPEND CMAKE_FIND_ROOT_PATH $scratch/gtest)
EOF

step gtest_configure.log "configuring GoogleTest for Windows" \
    cmake -S /usr/src/googletest -B "$scratch/gtest_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$scratch/mingw-tests.cmake" -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$scratch/gtest"
step gtest_build.log "building GoogleTest for Windows" cmake --build "$scratch/gtest_build"
step gtest_install.log "installing GoogleTest for Windows" cmake --install "$scratch/gtest_build"

step configure.log "configuring the test tree for Windows" \
    cmake -S . -B "$scratch/tests" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$scratch/mingw-tests.cmake" -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" \
    -DLINE_SHUFFLER_TESTS=ON -DLINE_SHUFFLER_WERROR=ON
grep 'tests skipped\|test skipped' "$scratch/configure.log" || true
step build.log "building the tests for Windows" cmake --build "$scratch/tests" --target line_shuffler_tests
step run.log "running the tests under wine64" \
    bash -c 'cd "$1" && "$2" tests/line_shuffler_tests.exe' _ "$scratch/tests" "$wine"
grep -E '^\[  PASSED  \]' "$scratch/run.log" || {
    tail -n 30 "$scratch/run.log" >&2
    echo "run_unit_tests: no PASSED line from the tests under wine64" >&2
    exit 1
}
