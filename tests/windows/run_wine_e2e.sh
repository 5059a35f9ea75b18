#!/usr/bin/env bash
# The Windows build, end to end: cross-builds both .exe files, checks that
# they need no DLLs beyond Windows' own, then runs the 64-bit one under wine64
# beside the Linux build on the same inputs, each in a scratch folder.
#
# For every case both runs must agree on the exit status and the console
# transcript, and each shuffled_file.txt must be file.txt in the order that
# its own C library's rand() draws in the run's second (msvcrt's rand() is
# not glibc's, so the same second gives the two builds different orders).
#
# The transcripts must be the same bytes: the tool writes its dialogue with
# "\n" line ends on both, also when it is sent to a file.
#
# The 32-bit .exe is only built and checked: this kernel can't run 32-bit
# Windows programs.
#
# Usage: tests/windows/run_wine_e2e.sh   (from anywhere; needs wine64 and
# the MinGW-w64 compilers: apt-get install wine64 g++-mingw-w64-i686
# g++-mingw-w64-x86-64; KEEP_SCRATCH=1 keeps the cases' folders in /tmp
# for a look afterwards)
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$PWD

build() {
    nice -n 10 cmake --workflow --preset "$1" >"$scratch/build-$1.log" 2>&1 || {
        cat "$scratch/build-$1.log"
        exit 1
    }
}

scratch=$(mktemp -d /tmp/line_shuffler_wine_e2e.XXXXXX)
export WINEPREFIX="$scratch/wineprefix"
export WINEDEBUG=-all
wine=/usr/lib/wine/wine64
[[ -x $wine ]] || wine=$(command -v wine64)
wineserver=/usr/lib/wine/wineserver64
[[ -x $wineserver ]] || wineserver=$(command -v wineserver)

cleanup() {
    [[ -d $WINEPREFIX ]] && "$wineserver" -k 2>/dev/null || true
    [[ -n ${KEEP_SCRATCH:-} ]] || rm -rf "$scratch"
}
trap cleanup EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1"; }
expect() {  # expect NAME COMMAND...
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}

echo "== building (Linux ci preset, windows-x64, windows-x86)"
cmake --preset ci >"$scratch/configure-ci.log" 2>&1 || { cat "$scratch/configure-ci.log"; exit 1; }
nice -n 10 cmake --build --preset ci --target line_shuffler shuffle_model >"$scratch/build-ci.log" 2>&1 ||
    { cat "$scratch/build-ci.log"; exit 1; }
build windows-x64
build windows-x86
linux_exe=$source_dir/build/ci/line_shuffler
model=$source_dir/build/ci/tests/shuffle_model
windows_exe=$source_dir/build/windows-x64/line_shuffler.exe

# Only Windows' own DLLs may be imported: everything else is linked in.
imports_only_system_dlls() {
    local dlls
    dlls=$(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
    echo "     $1 imports: $dlls"
    [[ -n $dlls && -z $(echo "$dlls" | tr ' ' '\n' | grep -vx -e '' -e kernel32.dll -e msvcrt.dll) ]]
}
is_format() { x86_64-w64-mingw32-objdump -f "$1" | grep -q "file format $2\$"; }
for arch in x86:pei-i386 x64:pei-x86-64; do
    exe=$source_dir/build/windows-${arch%%:*}/line_shuffler.exe
    expect "windows-${arch%%:*} .exe is ${arch#*:}" is_format "$exe" "${arch#*:}"
    expect "windows-${arch%%:*} .exe needs no DLLs beyond Windows' own" imports_only_system_dlls "$exe"
done

echo "== wine start-up"
x86_64-w64-mingw32-g++ -std=c++20 -O2 -static -o "$scratch/rand_probe.exe" tests/windows/rand_probe.cpp
# One wineserver for the whole run instead of one per program; it ends a
# minute after its last program if this script is killed before cleanup.
mkdir "$WINEPREFIX"
"$wineserver" -p60
started=$(date +%s.%N)
"$wine" "$scratch/rand_probe.exe" 1 1 </dev/null >/dev/null 2>&1
made_prefix=$(date +%s.%N)
"$wine" "$scratch/rand_probe.exe" 1 1 </dev/null >/dev/null 2>&1
warm=$(date +%s.%N)
awk -v a="$started" -v b="$made_prefix" -v c="$warm" \
    'BEGIN { printf "     first run (making the wine prefix): %.1f s; a later run: %.2f s\n", b - a, c - b }'

echo "== the Windows C library's rand()"
# The model of the Windows order assumes msvcrt's generator; learn it by
# experiment rather than trusting it.
for seed in 1 1700000000 4294967295; do
    "$wine" "$scratch/rand_probe.exe" "$seed" 1000 </dev/null | tr -d '\r' >"$scratch/rand.windows"
    { echo "RAND_MAX 32767"; "$model" rand "$seed" 1000; } >"$scratch/rand.model"
    expect "srand($seed): rand() under wine is the 15-bit msvcrt generator" cmp -s "$scratch/rand.windows" "$scratch/rand.model"
done

# run_in FOLDER EXE [STDIN] -- runs one build in FOLDER; leaves status, the
# transcript and the seconds the run spanned in FOLDER/../<name>.*
run_in() {
    local folder=$1 stdin=${3:-/dev/null}
    local -a command=("$2")
    [[ $2 == *.exe ]] && command=("$wine" "$2")
    local from to status=0
    from=$(date +%s)
    (cd "$folder" && timeout 60 "${command[@]}" <"$stdin" >../"$(basename "$folder")".console 2>/dev/null) || status=$?
    to=$(date +%s)
    echo "$status" >"$folder.status"
    echo "$from $to" >"$folder.seconds"
}

# Both builds on the same folder contents; compares what every case shares.
run_case() {  # run_case NAME SETUP_COMMANDS
    local name=$1 setup=$2 dir=$scratch/cases/$1
    mkdir -p "$dir/linux" "$dir/windows"
    (cd "$dir/linux" && eval "$setup")
    (cd "$dir/windows" && eval "$setup")
    run_in "$dir/linux" "$linux_exe"
    run_in "$dir/windows" "$windows_exe"
    local linux_status windows_status
    linux_status=$(cat "$dir/linux.status")
    windows_status=$(cat "$dir/windows.status")
    expect "$name: exit status $linux_status on both" test "$linux_status" = "$windows_status"
    expect "$name: same console transcript" cmp -s "$dir/linux.console" "$dir/windows.console"
}

shuffled_as_drawn() {  # shuffled_as_drawn FOLDER GENERATOR
    local seconds
    read -r -a seconds <"$1.seconds"
    (cd "$1" && "$model" check "$2" "${seconds[0]}" "${seconds[1]}" >/dev/null)
}

# The lines are sorted in a hidden work file beside the output, which
# takes the output's name at the end; it must never outlast the run.
only_files() {  # only_files FOLDER NAME... -- FOLDER holds exactly these
    [[ $(cd "$1" && ls -A | sort | tr '\n' ' ') == "$(shift && printf '%s\n' "$@" | sort | tr '\n' ' ')" ]]
}
ends_with() { tail -c "${#2}" "$1" | cmp -s - <(printf '%s' "$2"); }
key_wait=$'\n''Press any key to exit...'$'\n'

echo "== complete runs"
"$model" inputs "$scratch/inputs"
for input in three_lines empty newline_at_end crlf awkward many_lines; do
    run_case "$input" "cp '$scratch/inputs/$input' file.txt"
    dir=$scratch/cases/$input
    expect "$input: exit status 0" test "$(cat "$dir/windows.status")" = 0
    expect "$input: Linux shuffled_file.txt is file.txt in glibc's order" shuffled_as_drawn "$dir/linux" native
    expect "$input: Windows shuffled_file.txt is file.txt in msvcrt's order" shuffled_as_drawn "$dir/windows" msvcrt
    expect "$input: file.txt untouched" cmp -s "$scratch/inputs/$input" "$dir/windows/file.txt"
    expect "$input: no work file left" only_files "$dir/windows" file.txt shuffled_file.txt
done

# An older, longer shuffled file must be emptied, not just overwritten.
run_case older_output "cp '$scratch/inputs/three_lines' file.txt; head -c 10000 /dev/zero | tr '\\0' o >shuffled_file.txt"
expect "older_output: Windows shuffled_file.txt replaced" shuffled_as_drawn "$scratch/cases/older_output/windows" msvcrt
expect "older_output: no work file left" only_files "$scratch/cases/older_output/windows" file.txt shuffled_file.txt

# A link named shuffled_file.txt: the file it points to takes the lines, in
# its own folder, and the link stays.
run_case output_is_a_link "cp '$scratch/inputs/many_lines' file.txt; mkdir elsewhere; echo old >elsewhere/kept.txt; ln -s elsewhere/kept.txt shuffled_file.txt"
dir=$scratch/cases/output_is_a_link/windows
expect "output_is_a_link: still a link" test -L "$dir/shuffled_file.txt"
expect "output_is_a_link: its target is file.txt in msvcrt's order" shuffled_as_drawn "$dir" msvcrt
expect "output_is_a_link: no work file left beside the link or the target" \
    eval 'only_files "$dir" elsewhere file.txt shuffled_file.txt && only_files "$dir/elsewhere" kept.txt'

# A target whose name leaves no room for the work file's in its folder
# (255 units at most): the lines are written under the name, in order. Only
# the Windows build is run: how the Linux one names its work file is its
# own affair.
long_name=$(printf 'x%.0s' $(seq 250))
dir=$scratch/cases/output_without_room_for_a_work_file/windows
mkdir -p "$dir/elsewhere"
cp "$scratch/inputs/many_lines" "$dir/file.txt"
echo old >"$dir/elsewhere/$long_name"
ln -s "elsewhere/$long_name" "$dir/shuffled_file.txt"
run_in "$dir" "$windows_exe"
expect "output_without_room_for_a_work_file: exit status 0" test "$(cat "$dir.status")" = 0
expect "output_without_room_for_a_work_file: still a link" test -L "$dir/shuffled_file.txt"
expect "output_without_room_for_a_work_file: its target is file.txt in msvcrt's order" shuffled_as_drawn "$dir" msvcrt
expect "output_without_room_for_a_work_file: no work file left" \
    eval 'only_files "$dir" elsewhere file.txt shuffled_file.txt && only_files "$dir/elsewhere" "$long_name"'

# Standard output sent into one of the run's own files: both builds refuse
# to go on, and the file is left holding the same dialogue.
for target in shuffled_file.txt file.txt; do
    name=console_into_$target
    dir=$scratch/cases/$name
    for side in linux windows; do
        mkdir -p "$dir/$side"
        cp "$scratch/inputs/three_lines" "$dir/$side/file.txt"
        command=("$linux_exe")
        [[ $side == windows ]] && command=("$wine" "$windows_exe")
        status=0
        (cd "$dir/$side" && timeout 60 "${command[@]}" </dev/null >"$target" 2>/dev/null) || status=$?
        echo "$status" >"$dir/$side.status"
    done
    expect "$name: exit status 1 on both" test "$(cat "$dir/linux.status")-$(cat "$dir/windows.status")" = 1-1
    expect "$name: the same dialogue in $target" cmp -s "$dir/linux/$target" "$dir/windows/$target"
    expect "$name: refused" ends_with "$dir/windows/$target" \
        "Console output goes to file.txt or shuffled_file.txt. Send it elsewhere, or the dialogue mixes with the lines"$'\n'"$key_wait"
done

echo "== failures"
run_case missing_input ":"
expect "missing_input: no shuffled_file.txt made" test ! -e "$scratch/cases/missing_input/windows/shuffled_file.txt"
run_case input_is_a_folder "mkdir file.txt; echo keep > shuffled_file.txt"
expect "input_is_a_folder: shuffled_file.txt kept" grep -qx keep "$scratch/cases/input_is_a_folder/windows/shuffled_file.txt"
run_case input_is_a_fifo "mkfifo file.txt"
run_case output_is_a_folder "printf 'a\nb' > file.txt; mkdir shuffled_file.txt"
run_case output_is_the_input "printf 'a\nb' > file.txt; ln file.txt shuffled_file.txt"
expect "output_is_the_input: file.txt kept" cmp -s <(printf 'a\nb') "$scratch/cases/output_is_the_input/windows/file.txt"
run_case output_is_a_dangling_link "printf 'a\nb' > file.txt; ln -s missing_target.txt shuffled_file.txt"
expect "output_is_a_dangling_link: link target not made" test ! -e "$scratch/cases/output_is_a_dangling_link/windows/missing_target.txt"

echo "== runs caught mid-write"
# The Windows run is stopped with SIGSTOP once its work file has its first
# bytes, and checked to have written less than the work file's regions take
# in all (every byte twice) and not yet to have given the output its name,
# so what the script does next lands mid-write however fast the run is;
# SIGCONT lets it go on. The work file may have its full size early, its
# regions being filled out of order.
seq 1000000 1999999 >"$scratch/long_input"
work_file_size() {  # work_file_size FOLDER -- 0 while there is none
    local work
    work=$(cd "$1" && ls -A | grep -x '\.shuffled_file\.txt\..*' | head -n 1)
    [[ -n $work ]] && stat -c %s "$1/$work" 2>/dev/null || echo 0
}
output_size() { stat -L -c %s "$1/shuffled_file.txt" 2>/dev/null || echo 0; }
mid_write() {  # mid_write FOLDER PID [in_place]
    local written size
    written=$(sed -n 's/^wchar: //p' "/proc/$2/io" 2>/dev/null)
    size=$(stat -c %s "$1/file.txt")
    [[ -n $written ]] || return 1
    if [[ -n ${3:-} ]]; then
        (($(output_size "$1") < size))
    else
        [[ ! -s $1/shuffled_file.txt ]] && ((written < 2 * size))
    fi
}
# With `in_place`, the output is expected to take its lines under its name,
# as where no work file can be made.
start_paused() {  # start_paused FOLDER [in_place] -- leaves the paused run's pid in $paused
    local folder=$1 in_place=${2:-}
    cp "$scratch/long_input" "$folder/file.txt"
    date +%s >"$folder.from"
    (cd "$folder" && exec "$wine" "$windows_exe" </dev/null >../"$(basename "$folder")".console 2>/dev/null) &
    paused=$!
    # Wine's SetEndOfFile writes one byte before it cuts the file to 0, at
    # open: only more than that means the shuffle is writing in place.
    until if [[ -n $in_place ]]; then (($(output_size "$folder") > 1)); else (($(work_file_size "$folder") > 0)); fi; do
        kill -0 "$paused" 2>/dev/null || break
    done
    kill -STOP "$paused" 2>/dev/null || true
    expect "$(basename "$folder"): paused mid-write" mid_write "$folder" "$paused" "$in_place"
}
finish_paused() {  # finish_paused FOLDER -- resumes it; its status goes to FOLDER.status
    local status=0
    kill -CONT "$paused"
    wait "$paused" || status=$?
    echo "$status" >"$1.status"
    echo "$(cat "$1.from") $(date +%s)" >"$1.seconds"
}
# Same size, every newline moved one byte on: the size alone can't tell.
dir=$scratch/cases/same_size_rewrite
mkdir -p "$dir"
start_paused "$dir"
{ tail -c +2 "$scratch/long_input"; head -c 1 "$scratch/long_input"; } >"$dir/file.txt"
finish_paused "$dir"
expect "same_size_rewrite: exit status 1" test "$(cat "$dir.status")" = 1
expect "same_size_rewrite: reported as changed" ends_with "$dir.console" \
    "Read file was changed by another program while it was shuffled. The shuffled file can't be trusted"$'\n'"$key_wait"
expect "same_size_rewrite: shuffled_file.txt left empty, no work file left" \
    eval 'test ! -s "$dir/shuffled_file.txt" && only_files "$dir" file.txt shuffled_file.txt'

# Killed outright: nothing of the shuffle is left under the name or beside
# it. The work file is marked for deletion from the start, so it goes when
# wineserver closes the dead process's handles, a moment after it dies.
dir=$scratch/cases/killed
mkdir -p "$dir"
start_paused "$dir"
kill -KILL "$paused"
{ wait "$paused"; } 2>/dev/null || true
for _ in $(seq 50); do
    only_files "$dir" file.txt shuffled_file.txt && break
    sleep 0.1
done
expect "killed: shuffled_file.txt left empty" test ! -s "$dir/shuffled_file.txt"
expect "killed: no work file left" only_files "$dir" file.txt shuffled_file.txt

# Where no work file can be made beside the output (here the link's target
# has a name so long that the work file's would pass the folder's limit),
# the lines go to the named file in order, once, and a run that doesn't
# finish empties it.
dir=$scratch/cases/in_place_rewrite
mkdir -p "$dir/elsewhere"
: >"$dir/elsewhere/$long_name"
ln -s "elsewhere/$long_name" "$dir/shuffled_file.txt"
start_paused "$dir" in_place
echo changed >>"$dir/file.txt"
finish_paused "$dir"
expect "in_place_rewrite: exit status 1" test "$(cat "$dir.status")" = 1
expect "in_place_rewrite: reported as changed" ends_with "$dir.console" \
    "Read file was changed by another program while it was shuffled. The shuffled file can't be trusted"$'\n'"$key_wait"
expect "in_place_rewrite: the link's target left empty" test ! -s "$dir/elsewhere/$long_name"
expect "in_place_rewrite: no work file made" \
    eval 'only_files "$dir" elsewhere file.txt shuffled_file.txt && only_files "$dir/elsewhere" "$long_name"'

# A second run on the same output while the first is paused.
dir=$scratch/cases/second_run
mkdir -p "$dir"
start_paused "$dir"
written=$(stat -c %s "$dir/shuffled_file.txt")
status=0
(cd "$dir" && timeout 60 "$wine" "$windows_exe" </dev/null >../second_run.second.console 2>/dev/null) || status=$?
expect "second_run: the second run ends with status 1" test "$status" = 1
expect "second_run: the second run is refused" ends_with "$dir.second.console" \
    "Write file is locked by another program, perhaps another run of this tool. Try again when it has finished"$'\n'"$key_wait"
expect "second_run: the second run left the output alone" test "$(stat -c %s "$dir/shuffled_file.txt")" = "$written"
finish_paused "$dir"
expect "second_run: the first run ends with status 0" test "$(cat "$dir.status")" = 0
expect "second_run: the first run's shuffled_file.txt is file.txt in msvcrt's order" shuffled_as_drawn "$dir" msvcrt
expect "second_run: no work file left" only_files "$dir" file.txt shuffled_file.txt

echo "== the key wait without a console"
dir=$scratch/cases/key_wait
mkdir -p "$dir/windows"
printf 'x\ny' >"$dir/windows/file.txt"
status=0
(cd "$dir/windows" && timeout 60 "$wine" "$windows_exe" <&- >/dev/null 2>&1) || status=$?
expect "no standard input: ends at once with status 0" test "$status" = 0
# One key on a pipe that stays open: the byte must end the wait.
mkfifo "$dir/keys"
exec 3<>"$dir/keys"
printf k >&3
status=0
(cd "$dir/windows" && timeout 60 "$wine" "$windows_exe" <"$dir/keys" >/dev/null 2>&1) || status=$?
exec 3>&-
expect "one byte on an open pipe: ends with status 0" test "$status" = 0

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
