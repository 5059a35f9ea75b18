#!/usr/bin/env bash
# The benchmark in one command. Checks the tools it needs, builds the
# release tool and the helpers through CMake, makes the test files in a
# scratch folder, times line_shuffler side by side with GNU shuf, uutils shuf,
# cat (alone, and followed by `sync -d`, an fdatasync of its output) and
# wc -l, on both cores and on one (and on files larger than a memory cgroup's
# limit), and writes bench/results.md and bench/plot.png.
#
# usage: bench/run.sh [--quick] [--giant] [--only PARTS] [--runs N] [--tool PATH]
#                     [--before PATH] [--scratch DIR] [--cgroup-mib M] [--cgroup-gb G]
#                     [--cgroup-parent DIR]
#   --quick    small files, 3 rounds: a smoke run of a minute or two; results
#              go to the scratch folder, not bench/
#   --giant    also one run of the tool and of shuf on 100,000,000 lines
#              (about 5 GB; needs about 11 GB free in the scratch folder and,
#              for shuf, about 7 GB of memory)
#   --only P   run only these parts (comma-separated): short, 500, long, count,
#              cgroup, baseline, giant; the other parts' sections of
#              results.md keep their last figures (kept in runs.json)
#   --cgroup-mib M  the cgroup part's memory limit (default 1024; 128 with
#              --quick); 512-1024 for the targets
#   --cgroup-gb G   the size of each of its two files (default 3; 0.2 with
#              --quick)
#   --cgroup-parent DIR  make its cgroups under this cgroup (default: the
#              one the benchmark runs in)
#   --runs N   measured rounds per file (default 5; at most 3 on files of
#              500 MB or more)
#   --tool P   time this line_shuffler binary instead of building one
#   --before P time this earlier line_shuffler build too, beside the tool: on
#              one core on every file of the short, 500 and long parts (the
#              tool on one core must be no slower than it), and on both cores
#              on the long lines
#   --scratch  where the files go (default /tmp/line_shuffler_bench); the
#              files are kept for the next run, delete the folder to free them
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
scratch=/tmp/line_shuffler_bench
tool=""
invocation="bench/run.sh${*:+ $*}"
forward=()
quick=0
while (($#)); do
    case "$1" in
        --quick) quick=1; forward+=("$1") ;;
        --giant) forward+=("$1") ;;
        --runs|--only|--cgroup-mib|--cgroup-gb|--cgroup-parent) forward+=("$1" "$2"); shift ;;
        --tool) tool="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"; shift ;;
        --before)
            [[ -x "$2" && -f "$2" ]] || { echo "bench/run.sh: $2 is not an executable" >&2; exit 1; }
            forward+=("$1" "$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"); shift ;;
        --scratch) scratch="$2"; shift ;;
        -h|--help) sed -n '2,34p' "$0"; exit 0 ;;
        *) echo "bench/run.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
case "$scratch" in
    "$repo"|"$repo"/*) echo "bench/run.sh: keep the scratch folder out of the repository" >&2; exit 2 ;;
esac

# Everything the run needs, checked before anything is built or measured,
# with the Debian package that provides it.
need() {
    if ! command -v "$1" >/dev/null 2>&1; then
        echo "bench/run.sh: $1 is missing; apt-get install $2" >&2
        exit 1
    fi
}
need cmake cmake
need ninja ninja-build
need g++ g++
need python3 python3
need gnuplot gnuplot-nox
for tool_name in shuf cat sync wc timeout nice; do
    need "$tool_name" coreutils
done
need lscpu util-linux
# The one-core runs hold the tool to the first core.
need taskset util-linux
# uutils' shuf, the second peer, is timed where it is installed and skipped
# with one line where not. Debian's rust-coreutils puts the multicall binary
# at /usr/bin/coreutils and a link named shuf to it in its own folder; a
# coreutils multicall binary on PATH that is not GNU's serves as well.
uutils_shuf=""
if [[ -x /usr/lib/cargo/bin/coreutils/shuf ]]; then
    uutils_shuf=/usr/lib/cargo/bin/coreutils/shuf
elif command -v coreutils >/dev/null 2>&1 && ! coreutils --version 2>/dev/null | grep -q GNU &&
    coreutils shuf --version >/dev/null 2>&1; then
    uutils_shuf="$(command -v coreutils) shuf"
fi
[[ -n "$uutils_shuf" ]] ||
    echo "bench/run.sh: uutils shuf is missing, timing without it; apt-get install rust-coreutils" >&2
if [[ -n "$tool" && ! -x "$tool" ]]; then
    echo "bench/run.sh: $tool is not an executable" >&2
    exit 1
fi
mkdir -p "$scratch"

# The helpers are CMake targets outside the default build (bench-tools),
# compiled with the project's warning flags.
(cd "$repo" && cmake --preset release >/dev/null &&
    cmake --build --preset release --target line_shuffler bench-tools -j 2 >/dev/null)
[[ -n "$tool" ]] || tool="$repo/build/release/line_shuffler"

out="$repo/bench"
((quick)) && out="$scratch/quick"

# A little priority, where allowed, so that the shared machine's other work
# disturbs the timings less.
nice_cmd=()
if nice -n -5 true 2>/dev/null; then
    nice_cmd=(nice -n -5)
fi
exec "${nice_cmd[@]}" python3 "$repo/bench/bench.py" --tool "$tool" --bin "$repo/build/release/bench" \
    --scratch "$scratch" --out "$out" --invocation "$invocation" ${uutils_shuf:+--uutils-shuf "$uutils_shuf"} \
    "${forward[@]}"
