#!/usr/bin/env bash
# The 64-bit Windows build under wine64, on both processors against one:
# times it on a file of short lines with every step in two parts, and held
# to one CPU (`taskset -c 0`, which wine passes on to GetProcessAffinityMask,
# so the run takes one part), in interleaved rounds, with an earlier .exe
# too if given. Before the rounds, one run of each in the same frozen second
# (libfaketime) must write the same bytes, the order that msvcrt's rand()
# draws in that second.
#
# Prints, for each, the median wall time, CPU time (user and system of the
# wine process), the CPU time wineserver spent meanwhile and the peak
# resident memory (wine's own pages with the tool's), then the medians'
# ratios. Wine's own start-up is in every run: the median of a run
# on a one-line file is printed too, and so is the Linux build's (the ci
# preset's) on the same file in the same rounds, on both CPUs and one, for
# what wine adds and what two parts gain natively meanwhile.
#
# usage: bench/wine_parts.sh [--lines N] [--runs R] [--before OLD.exe] [--scratch DIR]
#   --lines N    lines of 31-71 bytes (default 3000000)
#   --runs R     interleaved rounds (default 5)
#   --before E   also time this earlier line_shuffler.exe on both processors
#   --scratch D  where the file and the runs go (default
#                /tmp/line_shuffler_wine_bench); removed at the end
# Needs wine64, libfaketime and the MinGW-w64 compilers (apt-get install
# wine64 libfaketime g++-mingw-w64-x86-64); builds the windows-x64 preset and
# the ci preset's bench helpers with nice.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

lines=3000000
runs=5
before=""
scratch=/tmp/line_shuffler_wine_bench
while (($#)); do
    case "$1" in
        --lines) lines=$2; shift ;;
        --runs) runs=$2; shift ;;
        --before) before=$(realpath "$2"); shift ;;
        --scratch) scratch=$2; shift ;;
        -h|--help) sed -n '2,26p' "$0"; exit 0 ;;
        *) echo "bench/wine_parts.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
faketime_lib=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
[[ -f $faketime_lib ]] || { echo "bench/wine_parts.sh: libfaketime is missing; apt-get install libfaketime" >&2; exit 1; }
wine=/usr/lib/wine/wine64
[[ -x $wine ]] || wine=$(command -v wine64)
wineserver=/usr/lib/wine/wineserver64
[[ -x $wineserver ]] || wineserver=$(command -v wineserver)

echo "== building (windows-x64, the ci preset's bench helpers)"
nice cmake --workflow --preset windows-x64 >/dev/null
{ cmake --preset ci && nice cmake --build --preset ci --target line_shuffler make_lines measure line_digest shuffle_model; } >/dev/null
exe=$repo/build/windows-x64/line_shuffler.exe
helpers=$repo/build/ci

rm -rf "$scratch"
mkdir -p "$scratch"
export WINEPREFIX=$scratch/wineprefix WINEDEBUG=-all
server_pid=""
cleanup() {
    [[ -n $server_pid ]] && "$wineserver" -k 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

"$helpers/bench/make_lines" "$scratch/file.txt" "$lines" 31 71 24 >/dev/null
printf 'one line' >"$scratch/one_line.txt"
input_digest=$("$helpers/bench/line_digest" "$scratch/file.txt")

# One wineserver for every run, in the foreground so that its CPU time can
# be read; a first run makes the prefix.
mkdir -p "$WINEPREFIX"
"$wineserver" -f -p &
server_pid=$!
(cd "$scratch" && "$wine" "$exe" </dev/null >/dev/null 2>&1)

# The variants: name and command.
names=(two_parts one_cpu)
commands=("$wine $exe" "taskset -c 0 $wine $exe")
if [[ -n $before ]]; then
    names+=(before)
    commands+=("$wine $before")
fi

echo "== the same frozen second: the same bytes"
frozen="2026-01-01 00:00:00"
frozen_second=$(TZ=UTC date -d "$frozen" +%s)
for i in "${!names[@]}"; do  # the Windows ones
    dir=$scratch/frozen/${names[$i]}
    mkdir -p "$dir"
    cp "$scratch/file.txt" "$dir/file.txt"
    # shellcheck disable=SC2086  # the command is words
    (cd "$dir" && TZ=UTC FAKETIME="$frozen" FAKETIME_NO_CACHE=1 LD_PRELOAD=$faketime_lib ${commands[$i]} \
        </dev/null >/dev/null 2>&1)
    [[ $("$helpers/bench/line_digest" "$dir/shuffled_file.txt") == "$input_digest" ]] ||
        { echo "${names[$i]}: shuffled_file.txt does not hold file.txt's lines" >&2; exit 1; }
    if ((i > 0)); then
        cmp "$scratch/frozen/${names[0]}/shuffled_file.txt" "$dir/shuffled_file.txt" >/dev/null ||
            { echo "${names[$i]} differs from ${names[0]} in the same second" >&2; exit 1; }
    fi
    echo "${names[$i]}: $(sha256sum <"$dir/shuffled_file.txt" | cut -c1-16)"
done
(cd "$scratch/frozen/${names[0]}" && "$helpers/tests/shuffle_model" check msvcrt "$frozen_second" "$frozen_second")
rm -rf "$scratch/frozen"

server_cpu() {  # the wineserver's user and system time, in clock ticks
    awk '{ print $14 + $15 }' "/proc/$server_pid/stat"
}
ticks=$(getconf CLK_TCK)

# measure_one NAME COMMAND INPUT -- one timed run in a folder of its own;
# appends "name wall cpu server_cpu peak_mib" to the results.
measure_one() {
    local name=$1 command=$2 input=$3 dir=$scratch/runs/$1 from to
    mkdir -p "$dir"
    [[ -f $dir/file.txt ]] || cp "$input" "$dir/file.txt"
    rm -f "$dir/shuffled_file.txt"
    from=$(server_cpu)
    # shellcheck disable=SC2086
    (cd "$dir" && "$helpers/bench/measure" "$scratch/report" - $command)
    to=$(server_cpu)
    read -r wall user system peak status <"$scratch/report"
    [[ $status == 0 ]] || { echo "$name: exit status $status" >&2; exit 1; }
    awk -v n="$name" -v w="$wall" -v u="$user" -v s="$system" -v a="$from" -v b="$to" -v t="$ticks" -v p="$peak" \
        'BEGIN { print n, w, u + s, (b - a) / t, p / 1048576 }' >>"$scratch/results"
}

names+=(linux linux_one_cpu)
commands+=("$helpers/line_shuffler" "taskset -c 0 $helpers/line_shuffler")
echo "== $runs interleaved rounds, $lines lines of 31-71 bytes"
for ((round = 0; round < runs; ++round)); do
    measure_one start_up "$wine $exe" "$scratch/one_line.txt"
    for ((k = 0; k < ${#names[@]}; ++k)); do
        i=$(((k + round) % ${#names[@]}))
        measure_one "${names[$i]}" "${commands[$i]}" "$scratch/file.txt"
    done
done

python3 - "$scratch/results" "${names[@]}" <<'EOF'
import statistics
import sys

rows = {}
for line in open(sys.argv[1]):
    name, *figures = line.split()
    rows.setdefault(name, []).append([float(f) for f in figures])
med = {name: [statistics.median(r[i] for r in runs) for i in range(4)] for name, runs in rows.items()}
print(f"{'':13} {'wall s':>7} {'CPU s':>7} {'CPU/wall':>8} {'server s':>8} {'peak MiB':>8}   walls")
for name in ["start_up"] + sys.argv[2:]:
    wall, cpu, server, peak = med[name]
    walls = " ".join(f"{r[0]:.2f}" for r in rows[name])
    print(f"{name:13} {wall:7.3f} {cpu:7.3f} {cpu / wall:8.2f} {server:8.3f} {peak:8.1f}   {walls}")
for name in sys.argv[3:]:
    print(f"{name} / two_parts, median wall: {med[name][0] / med['two_parts'][0]:.2f}")
EOF
