#!/usr/bin/env bash
# The benchmark in one command. Builds the release tool and the helpers,
# makes the test files in a scratch folder, times line_shuffler side by
# side with shuf, cat, the rewind baseline and the read floor, and writes
# bench/results.md and bench/plot.png.
#
# usage: bench/run.sh [--quick] [--huge] [--runs N] [--tool PATH] [--scratch DIR]
#   --quick    files a tenth of the size, 2 runs each: a smoke run of a
#              minute or two; results go to the scratch folder, not bench/
#   --huge     also shuffles a 4.6 GiB file to prove 64-bit offsets (needs
#              about 10 GiB free in the scratch folder and a few minutes)
#   --runs N   measured runs per command (default 5)
#   --tool P   time this line_shuffler binary instead of building one
#   --scratch  where the files go (default /tmp/line_shuffler_bench); the
#              files are kept for the next run, delete the folder to free them
#
# Needs: cmake, ninja, g++, python3, gnuplot (gnuplot-nox), shuf and cat
# (coreutils); valgrind is optional (instruction profile).
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
scratch=/tmp/line_shuffler_bench
tool=""
forward=()
quick=0
while (($#)); do
    case "$1" in
        --quick) quick=1; forward+=("$1") ;;
        --huge) forward+=("$1") ;;
        --runs) forward+=("$1" "$2"); shift ;;
        --tool) tool="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"; shift ;;
        --scratch) scratch="$2"; shift ;;
        -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
        *) echo "bench/run.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
case "$scratch" in
    "$repo"|"$repo"/*) echo "bench/run.sh: keep the scratch folder out of the repository" >&2; exit 2 ;;
esac
mkdir -p "$scratch/bin"

if [[ -z "$tool" ]]; then
    (cd "$repo" && cmake --preset release >/dev/null && cmake --build --preset release --target line_shuffler >/dev/null)
    tool="$repo/build/release/line_shuffler"
fi

flags=(-std=c++20 -O2 -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Werror)
for helper in make_lines measure floor rewind_baseline line_digest touch_probe; do
    g++ "${flags[@]}" -D_FILE_OFFSET_BITS=64 "$repo/bench/$helper.cpp" -o "$scratch/bin/$helper"
done
g++ "${flags[@]}" -shared -fPIC "$repo/bench/read_timer.cpp" -o "$scratch/bin/read_timer.so" -ldl

out="$repo/bench"
((quick)) && out="$scratch/quick"

# A little priority, where allowed, so that the shared machine's other work
# disturbs the timings less.
nice_cmd=()
if nice -n -5 true 2>/dev/null; then
    nice_cmd=(nice -n -5)
fi
exec "${nice_cmd[@]}" python3 "$repo/bench/bench.py" --tool "$tool" --bin "$scratch/bin" \
    --scratch "$scratch" --out "$out" "${forward[@]}"
