#!/usr/bin/env python3
"""Times line_shuffler side by side with shuf, cat, the rewind baseline and
the read floor on deterministic files, checks every output is a permutation
of its input, and writes results.md and plot.png.

Run it through bench/run.sh, which builds the tool and the helpers first.
"""
import argparse
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time

MIB = 1024 * 1024


# ---------------------------------------------------------------------------
# The files. Each is named by its shape; make_lines writes the same bytes
# for the same arguments on every machine.

class data_file:
    def __init__(self, name, lines, min_length, max_length, seed, note):
        self.name = name
        self.lines = lines
        self.min_length = min_length
        self.max_length = max_length
        self.seed = seed
        self.note = note

    @property
    def line_bytes(self):
        """Average bytes a line, newline included."""
        return (self.min_length + self.max_length) / 2 + 1


def short_lines(lines, seed=1):
    return data_file(f"short_{lines}", lines, 30, 70, seed, f"{lines:,} lines of 30-70 bytes")


def fixed_lines(lines, length):
    # length counts the newline, so the file is lines x length bytes.
    return data_file(f"fixed_{length}B_{lines}", lines, length - 1, length - 1, 7,
                     f"{lines:,} lines of {length:,} bytes")


def file_set(quick, huge):
    scale = 10 if quick else 1
    few = 20000 // scale
    files = {
        "one_line": data_file("one_line", 1, 50, 50, 3, "1 line of 50 bytes"),
        "baseline": [short_lines(n) for n in ([500, 1000, 2000] if quick else [1000, 2000, 5000, 10000, 20000])],
        "tool_extra": [short_lines(100000 // scale)],
        "medium": short_lines(1000000 // scale),
        "large": short_lines(10000000 // scale),
        "few_long": fixed_lines(few, 10000),
        "few_short": fixed_lines(few, 10),
        "by_length": [fixed_lines(few, n) for n in (10, 100, 1000, 10000)],
    }
    if huge:
        # About 4.6 GiB in lines of 200-1800 bytes: offsets pass 2^32.
        files["huge"] = data_file("huge", 4900000, 199, 1799, 11, "4,900,000 lines of 200-1,800 bytes (4.6 GiB)")
    return files


# ---------------------------------------------------------------------------
# Running and measuring.

def run_measured(measure, argv, cwd, stdout_path=None, env=None):
    """Runs argv once through the measure launcher; returns wall seconds,
    CPU seconds and peak RSS bytes."""
    report = os.path.join(cwd, "measure.txt")
    done = subprocess.run([measure, report, stdout_path or "-"] + argv, cwd=cwd, env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise RuntimeError(f"{argv} in {cwd} failed with {done.returncode}: {done.stderr.decode(errors='replace')}")
    wall, user, system, rss, _ = open(report).read().split()
    return {"wall": float(wall), "cpu": float(user) + float(system), "user": float(user),
            "sys": float(system), "rss": int(rss)}


class bench:
    def __init__(self, args):
        self.args = args
        self.bin = args.bin
        self.tool = os.path.abspath(args.tool)
        self.measure_bin = os.path.join(args.bin, "measure")
        self.data = os.path.join(args.scratch, "data")
        self.work = os.path.join(args.scratch, "work")
        os.makedirs(self.data, exist_ok=True)
        os.makedirs(self.work, exist_ok=True)
        self.digests = {}
        self.results = {}   # (file name, command) -> list of runs
        self.verified = {}  # (file name, command) -> True

    def log(self, text):
        print(f"[{time.strftime('%H:%M:%S')}] {text}", flush=True)

    def path_of(self, f):
        return os.path.join(self.data, f.name + ".txt")

    def make(self, f):
        path = self.path_of(f)
        stamp = path + ".args"
        wanted = f"{f.lines} {f.min_length} {f.max_length} {f.seed}"
        if os.path.exists(path) and os.path.exists(stamp) and open(stamp).read() == wanted:
            return path
        self.log(f"making {f.name}: {f.note}")
        subprocess.run([os.path.join(self.bin, "make_lines"), path, str(f.lines), str(f.min_length),
                        str(f.max_length), str(f.seed)], check=True)
        with open(stamp, "w") as out:
            out.write(wanted)
        return path

    def digest(self, path):
        text = subprocess.run([os.path.join(self.bin, "line_digest"), path], check=True,
                              capture_output=True, text=True).stdout.strip()
        return text

    def workdir(self, f):
        """A folder whose file.txt is the data file (a hard link: no copy)."""
        folder = os.path.join(self.work, f.name)
        os.makedirs(folder, exist_ok=True)
        link = os.path.join(folder, "file.txt")
        if os.path.lexists(link):
            os.remove(link)
        os.link(self.path_of(f), link)
        return folder

    def commands(self, names):
        every = {
            "line_shuffler": ([self.tool], None, "shuffled_file.txt"),
            "floor": ([os.path.join(self.bin, "floor"), "file.txt"], None, None),
            "shuf": (["shuf", "-o", "shuf_out.txt", "file.txt"], None, "shuf_out.txt"),
            "cat": (["cat", "file.txt"], "cat_out.txt", "cat_out.txt"),  # emptied by the launcher, in the timed span
            "rewind_baseline": ([os.path.join(self.bin, "rewind_baseline")], None, "shuffled_file.txt"),
        }
        return {name: every[name] for name in names}

    def measure(self, f, names, runs):
        """Interleaves the commands run by run, so that a change in the
        machine's load falls on all of them alike."""
        path = self.make(f)
        folder = self.workdir(f)
        if path not in self.digests:
            self.digests[path] = self.digest(path)
        commands = self.commands(names)
        for name, (argv, stdout_path, output) in commands.items():
            # Warm-up run: fills the page cache and proves the output right.
            run_measured(self.measure_bin, argv, folder, os.path.join(folder, stdout_path) if stdout_path else None)
            if output:
                got = self.digest(os.path.join(folder, output))
                if got != self.digests[path]:
                    raise RuntimeError(f"{name} on {f.name}: output is not a permutation of the input "
                                       f"({got} != {self.digests[path]})")
                self.verified[(f.name, name)] = True
        for _ in range(runs):
            for name, (argv, stdout_path, _) in commands.items():
                measured = run_measured(self.measure_bin, argv, folder, os.path.join(folder, stdout_path) if stdout_path else None)
                self.results.setdefault((f.name, name), []).append(measured)
        for name, (_, _, output) in commands.items():
            if output and name != "line_shuffler":
                os.remove(os.path.join(folder, output))  # big files; the tool's output is kept for inspection
        summary = ", ".join(f"{n} {self.median(f, n, 'wall'):.3f} s" for n in commands)
        self.log(f"{f.name}: {summary}")

    def median(self, f, name, key):
        return statistics.median(run[key] for run in self.results[(f.name, name)])

    def spread(self, f, name, key):
        values = [run[key] for run in self.results[(f.name, name)]]
        return min(values), max(values)

    def has(self, f, name):
        return (f.name, name) in self.results

    # -----------------------------------------------------------------------
    # Where the tool's time goes, with the read timer preloaded.

    def breakdown(self, f, runs):
        folder = self.workdir(f)
        report = os.path.join(folder, "read_timer.json")
        if os.path.exists(report):
            os.remove(report)
        env = dict(os.environ, LD_PRELOAD=os.path.join(self.bin, "read_timer.so"), READ_TIMER_OUT=report)
        walls = []
        plain = []
        for _ in range(runs):
            walls.append(run_measured(self.measure_bin, [self.tool], folder, env=env)["wall"])
            plain.append(run_measured(self.measure_bin, [self.tool], folder)["wall"])
        records = [json.loads(line) for line in open(report)]
        rows = []
        for wall, r in zip(walls, records):
            ns = wall * 1e9
            reads = r["writer_read_ns"]
            rows.append({
                "wall": wall,
                "reads": reads / ns,
                "counting": r["count_end"] / ns,
                "drawing": (r["first_writer_read"] - r["count_end"]) / ns,
                "writes": r["write_ns"] / ns,
                "writer_rest": (r["last_writer_read_end"] - r["first_writer_read"] - reads - r["write_ns"]) / ns,
                "after": (ns - r["last_writer_read_end"]) / ns,
                "reads_per_line": r["writer_reads"] / f.lines,
                "bytes_per_read": r["writer_read_bytes"] / max(1, r["writer_reads"]),
                "ns_per_read": reads / max(1, r["writer_reads"]),
            })
        keys = rows[0].keys()
        self.split = {k: statistics.median(row[k] for row in rows) for k in keys}
        self.split["non_read_all"] = sorted(1 - row["reads"] for row in rows)
        self.split["timer_overhead"] = statistics.median(walls) / statistics.median(plain)
        self.split["file"] = f
        self.log(f"breakdown on {f.name}: reads {self.split['reads']:.1%} of the time")

    def user_profile(self, f):
        """Where the tool's user-space time goes, sampled by perf (skipped
        where perf cannot sample)."""
        self.user_samples = None
        if shutil.which("perf") is None:
            return
        folder = self.workdir(f)
        data = os.path.join(folder, "perf.data")
        recorded = subprocess.run(["perf", "record", "-e", "cpu-clock:u", "-F", "5000", "-o", data, self.tool],
                                  cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        if recorded.returncode != 0:
            return
        text = subprocess.run(["perf", "report", "-i", data, "--no-children", "--sort", "sym", "--stdio"],
                              capture_output=True, text=True).stdout
        rows = []
        for line in text.splitlines():
            m = re.match(r"\s*([\d.]+)%\s+\[\.\]\s+(.*)", line)
            if m:
                rows.append((short_function_name(m.group(2).strip()), float(m.group(1))))
        self.user_samples = {"file": f, "rows": rows[:8]}
        self.log(f"perf on {f.name}: {len(rows)} user-space symbols sampled")

    def instruction_profile(self, f):
        """Instructions by function under callgrind (user space only)."""
        if shutil.which("valgrind") is None:
            self.profile = None
            return
        folder = self.workdir(f)
        out = os.path.join(folder, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", self.tool],
                       cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        text = subprocess.run(["callgrind_annotate", out], capture_output=True, text=True, check=True).stdout
        rows = []
        total = None
        for line in text.splitlines():
            m = re.match(r"\s*([\d,]+) \(\s*([\d.]+)%\)\s+(.*)", line)
            if not m:
                continue
            count = int(m.group(1).replace(",", ""))
            where = m.group(3)
            if "PROGRAM TOTALS" in where:
                total = count
                continue
            function = where.split(":", 1)[1] if ":" in where else where
            function = re.sub(r"\s*\[.*\]$", "", function)
            function = short_function_name(function)
            rows.append((function, count))
        self.profile = {"file": f, "total": total, "rows": rows[:10]}
        self.log(f"callgrind on {f.name}: {total / f.lines:.0f} instructions a line")


# ---------------------------------------------------------------------------
# Fitting and reporting.

def short_function_name(name):
    """Drops argument lists but keeps the anonymous namespace readable."""
    name = name.replace("(anonymous namespace)", "{anonymous}")
    return re.sub(r"\(.*\)", "()", name)


def quadratic_fit(points):
    """Least squares t = a n^2 + b n + c on relative errors, so that the
    small sizes count as much as the large ones."""
    sums = [[0.0] * 3 for _ in range(3)]
    right = [0.0] * 3
    for n, t in points:
        weight = 1.0 / (t * t)
        powers = [n * n, n, 1.0]
        for i in range(3):
            right[i] += weight * powers[i] * t
            for j in range(3):
                sums[i][j] += weight * powers[i] * powers[j]
    # Gaussian elimination on the 3x3 normal equations.
    m = [row[:] + [right[i]] for i, row in enumerate(sums)]
    for col in range(3):
        pivot = max(range(col, 3), key=lambda r: abs(m[r][col]))
        m[col], m[pivot] = m[pivot], m[col]
        for r in range(3):
            if r != col:
                factor = m[r][col] / m[col][col]
                m[r] = [a - factor * b for a, b in zip(m[r], m[col])]
    return [m[i][3] / m[i][i] for i in range(3)]


def machine():
    lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
    model = re.search(r"Model name:\s*(.*)", lscpu)
    cpus = re.search(r"^CPU\(s\):\s*(\d+)", lscpu, re.M)
    memory = re.search(r"MemTotal:\s*(\d+) kB", open("/proc/meminfo").read())
    compiler = subprocess.run(["g++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    return {
        "cpu": model.group(1).strip() if model else platform.processor(),
        "cores": cpus.group(1) if cpus else str(os.cpu_count()),
        "ram": f"{int(memory.group(1)) / MIB:.1f} GiB" if memory else "?",
        "kernel": platform.release(),
        "compiler": compiler,
    }


def seconds(value):
    if value >= 100:
        return f"{value:,.0f} s"
    if value >= 1:
        return f"{value:.2f} s"
    return f"{value * 1000:.1f} ms"


def mib(value):
    return f"{value / MIB:.1f} MiB"


def verdict(ok):
    return "met" if ok else "**not met**"


def write_report(b, files, args, started, loads):
    m = machine()
    tool = "line_shuffler"
    medium, large = files["medium"], files["large"]
    few_long, few_short = files["few_long"], files["few_short"]
    one = files["one_line"]
    base_rss = b.median(one, tool, "rss")

    lines = []
    put = lines.append
    put("# line_shuffler benchmark")
    put("")
    put("Written by `bench/run.sh`" + (" --quick" if args.quick else "") + (" --huge" if args.huge else "") +
        f" on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime(started))}; it took "
        f"{(time.time() - started) / 60:.1f} minutes. Regenerate this file and `plot.png` with `bench/run.sh`.")
    put("")
    put(f"Machine: {m['cpu']}, {m['cores']} cores, {m['ram']} RAM, Linux {m['kernel']}, {m['compiler']}.")
    put(f"Load average (1 min) at the start {loads[0]:.2f}, at the end {loads[1]:.2f}: the machine is shared, "
        f"so the commands are run interleaved, run by run, and compared as ratios of medians. "
        f"Every command ran once to warm the page cache (all files are read from memory), then "
        f"{args.runs} measured runs each ({args.large_runs} on the largest file and {args.baseline_runs} for the rewind baseline). "
        f"Wall time is from start to exit as seen by the parent; CPU is user + system time; "
        f"peak memory is the kernel's maximum resident set size of the process.")
    if args.quick:
        put("")
        put("**Quick mode**: files are a tenth of the sizes the targets name; the figures are a smoke run, not the targets.")
    put("")

    # Targets.
    ratio_floor = b.median(medium, tool, "wall") / b.median(medium, "floor", "wall")
    ratio_floor_cpu = b.median(medium, tool, "cpu") / b.median(medium, "floor", "cpu")
    growth = {f.name: (b.median(f, tool, "rss") - base_rss) / f.lines for f in (medium, large)}
    long_short = b.median(few_long, tool, "rss") - b.median(few_short, tool, "rss")
    ratio_cat = b.median(few_long, tool, "wall") / b.median(few_long, "cat", "wall")
    non_read = 1 - b.split["reads"]
    # Without the timer: what the tool spends beyond the floor's reads, taking
    # the floor's own counting and start-up to be as long as the tool's.
    beyond_floor = 1 - (b.median(medium, "floor", "wall") * (1 - b.split["counting"])) / b.median(medium, tool, "wall")
    put("## Targets")
    put("")
    put("| Target | Measured | |")
    put("|---|---|---|")
    put(f"| Time within 1.2x of the floor on {medium.lines:,} lines | {ratio_floor:.2f}x wall "
        f"({seconds(b.median(medium, tool, 'wall'))} vs {seconds(b.median(medium, 'floor', 'wall'))}); "
        f"{ratio_floor_cpu:.2f}x CPU | {verdict(ratio_floor <= 1.2)} |")
    put(f"| Work other than the one read per line under 15% | {non_read:.1%} of the tool's time by the read timer "
        f"(median of {len(b.split['non_read_all'])} runs on {b.split['file'].lines:,} lines; "
        f"range {b.split['non_read_all'][0]:.1%}-{b.split['non_read_all'][-1]:.1%}); {beyond_floor:.1%} "
        f"from the floor's time instead | {verdict(non_read < 0.15 and beyond_floor < 0.15)} |")
    for f in (medium, large):
        put(f"| Memory growth at most 4.5 B/line over the one-line run, {f.lines:,} lines | "
            f"{growth[f.name]:.2f} B/line ({mib(b.median(f, tool, 'rss'))} vs {mib(base_rss)}) | "
            f"{verdict(growth[f.name] <= 4.5)} |")
    put(f"| {few_long.note} vs {few_short.note}: within 1 MiB | {long_short / MIB:+.2f} MiB "
        f"({mib(b.median(few_long, tool, 'rss'))} vs {mib(b.median(few_short, tool, 'rss'))}) | "
        f"{verdict(abs(long_short) <= MIB)} |")
    put(f"| {few_long.note} within 3x of `cat` | {ratio_cat:.2f}x "
        f"({seconds(b.median(few_long, tool, 'wall'))} vs {seconds(b.median(few_long, 'cat', 'wall'))}) | "
        f"{verdict(ratio_cat <= 3)} |")
    put("")

    # Main table.
    put("## Side by side")
    put("")
    put("Median wall time (min-max), median CPU time (user + system, and the user part) and median peak "
        "resident memory; ratios are of the median wall times.")
    put("")
    put("| File | Command | Wall | CPU | Peak memory | Ratios |")
    put("|---|---|---|---|---|---|")
    table_files = [one, medium, large, few_long, few_short] + ([files["huge"]] if "huge" in files else [])
    names = [tool, "floor", "shuf", "cat", "rewind_baseline"]
    for f in table_files:
        for name in names:
            if not b.has(f, name):
                continue
            low, high = b.spread(f, name, "wall")
            ratios = []
            if name == tool:
                for other in ("floor", "shuf", "cat"):
                    if b.has(f, other):
                        ratios.append(f"{b.median(f, tool, 'wall') / b.median(f, other, 'wall'):.2f}x {other}")
            if name == "rewind_baseline":
                ratios.append(f"{b.median(f, name, 'wall') / b.median(f, tool, 'wall'):,.0f}x line_shuffler")
            checked = " (output checked)" if b.verified.get((f.name, name)) else ""
            put(f"| {f.note} | {name}{checked} | {seconds(b.median(f, name, 'wall'))} "
                f"({seconds(low)}-{seconds(high)}) | {seconds(b.median(f, name, 'cpu'))} "
                f"({seconds(b.median(f, name, 'user'))} user) | "
                f"{mib(b.median(f, name, 'rss'))} | {', '.join(ratios)} |")
    put("")

    # Baseline.
    base_points = [(f.lines, b.median(f, "rewind_baseline", "wall")) for f in files["baseline"]]
    a, bb, c = quadratic_fit(base_points)
    biggest = files["baseline"][-1]
    speedup = b.median(biggest, "rewind_baseline", "wall") / b.median(biggest, tool, "wall")
    estimate = a * 1e12 + bb * 1e6 + c
    put("## The rewind baseline")
    put("")
    put(f"`bench/rewind_baseline.cpp` rewinds to the start of the input for every output line (fgets into a "
        f"1000-byte buffer). At {biggest.lines:,} lines it takes {seconds(base_points[-1][1])}, "
        f"{speedup:,.0f}x the tool's {seconds(b.median(biggest, tool, 'wall'))}. A least-squares fit "
        f"t = a n^2 + b n + c over {', '.join(f'{n:,}' for n, _ in base_points)} lines gives "
        f"a = {a:.3e} s, b = {bb:.3e} s, c = {c:.3e} s, so {medium.lines:,} lines would take about "
        f"{estimate:,.0f} s ({estimate / 3600:.1f} hours) against the tool's "
        f"{seconds(b.median(medium, tool, 'wall'))} (about {estimate / b.median(medium, tool, 'wall'):,.0f}x). "
        f"Scaling the {biggest.lines:,}-line time by the square of the line count alone gives "
        f"{base_points[-1][1] * (medium.lines / biggest.lines) ** 2:,.0f} s.")
    put("")
    put("| Lines | rewind_baseline | line_shuffler | Ratio |")
    put("|---|---|---|---|")
    for f in files["baseline"]:
        put(f"| {f.lines:,} | {seconds(b.median(f, 'rewind_baseline', 'wall'))} | "
            f"{seconds(b.median(f, tool, 'wall'))} | {b.median(f, 'rewind_baseline', 'wall') / b.median(f, tool, 'wall'):,.0f}x |")
    if b.has(few_short, "rewind_baseline"):
        put(f"| {few_short.lines:,} (10-byte lines) | {seconds(b.median(few_short, 'rewind_baseline', 'wall'))} | "
            f"{seconds(b.median(few_short, tool, 'wall'))} | "
            f"{b.median(few_short, 'rewind_baseline', 'wall') / b.median(few_short, tool, 'wall'):,.0f}x |")
    put("")

    # Memory.
    put("## Memory")
    put("")
    put(f"The tool's peak on a one-line file is {mib(base_rss)} (the process, its libraries and its fixed buffers). "
        f"Growth over it, per line: " +
        "; ".join(f"{f.lines:,} lines {growth[f.name]:.2f} B" for f in (medium, large)) +
        ". The order array alone is 4 B a line; the rest is the line marks (a 4-byte mark every 16 lines "
        "once the input is large, in a vector that may hold up to twice that while it grows).")
    put("")
    put("| File | line_shuffler | shuf |")
    put("|---|---|---|")
    for f in files["by_length"]:
        put(f"| {f.note} | {mib(b.median(f, tool, 'rss'))} | {mib(b.median(f, 'shuf', 'rss'))} |")
    put("")

    # Breakdown.
    s = b.split
    put("## Where the tool's time goes")
    put("")
    put(f"Measured by preloading `bench/read_timer.cpp`, which times every `pread64` and `write` of the tool "
        f"(median of {len(s['non_read_all'])} runs on {s['file'].note}; shares of the whole wall time from the "
        f"parent's view; the timer's own cost made the runs {s['timer_overhead']:.2f}x as long as plain runs, "
        f"and falls partly in each share).")
    put("")
    put("A second estimate needs no timer: if the tool's reads cost what the floor's do, everything else is "
        "the tool's time less the floor's, plus the counting and start-up that the floor does too: "
        f"1 - floor x (1 - counting share) / tool = {beyond_floor:.1%} on {medium.note} (wall medians above).")
    put("")
    put("| Part | Share |")
    put("|---|---|")
    put(f"| The one positioned read per output line ({s['reads_per_line']:.2f} reads a line, "
        f"{s['bytes_per_read']:.0f} bytes and {s['ns_per_read']:.0f} ns each) | {s['reads']:.1%} |")
    put(f"| Start-up and counting (block reads and line marks) | {s['counting']:.1%} |")
    put(f"| Drawing the order | {s['drawing']:.1%} |")
    put(f"| Writing the output (write calls) | {s['writes']:.1%} |")
    put(f"| The writer's own work between reads (finding the mark, passing lines, copying) | {s['writer_rest']:.1%} |")
    put(f"| Closing and exit | {s['after']:.1%} |")
    put("")
    if b.user_samples:
        p = b.user_samples
        put(f"User-space time by function, sampled by `perf record -e cpu-clock:u` on {p['file'].note} "
            f"(one run; a sample that falls on the return from a system call is counted in the function "
            f"that made it):")
        put("")
        put("| Function | Share of user-space samples |")
        put("|---|---|")
        for function, share in p["rows"]:
            put(f"| `{function}` | {share:.1f}% |")
        put("")
    if b.profile:
        p = b.profile
        put(f"User-space instructions under callgrind on {p['file'].note}: {p['total'] / p['file'].lines:.0f} a line. "
            f"Top functions (instructions a line):")
        put("")
        put("| Function | Instructions a line |")
        put("|---|---|")
        for function, count in p["rows"]:
            put(f"| `{function}` | {count / p['file'].lines:.1f} |")
        put("")

    if "huge" in files and b.has(files["huge"], tool):
        h = files["huge"]
        put("## Over 4 GiB")
        put("")
        size = os.path.getsize(b.path_of(h))
        put(f"{h.note}: {size:,} bytes, beyond 2^32 = 4,294,967,296. The tool took "
            f"{seconds(b.median(h, tool, 'wall'))} with a peak of {mib(b.median(h, tool, 'rss'))}, and its output "
            f"has the same line digest (count, sum and XOR of line hashes) as the input: a permutation of its lines.")
        put("")

    put("## Plot")
    put("")
    put("![time against lines, memory against line length](plot.png)")
    put("")
    return "\n".join(lines) + "\n", (a, bb, c)


def write_plot(b, files, fit, out_png, scratch):
    tool = "line_shuffler"
    by_name = {f.name: f for f in files["baseline"] + files["tool_extra"] + [files["medium"], files["large"]]}
    sizes = sorted(by_name.values(), key=lambda f: f.lines)
    dat = os.path.join(scratch, "plot_time.dat")
    with open(dat, "w") as out:
        for f in sizes:
            base = b.median(f, "rewind_baseline", "wall") if b.has(f, "rewind_baseline") else float("nan")
            floor = b.median(f, "floor", "wall") if b.has(f, "floor") else float("nan")
            shuf = b.median(f, "shuf", "wall") if b.has(f, "shuf") else float("nan")
            out.write(f"{f.lines} {b.median(f, tool, 'wall')} {base} {floor} {shuf}\n")
    mem = os.path.join(scratch, "plot_memory.dat")
    with open(mem, "w") as out:
        for f in files["by_length"]:
            out.write(f"{f.max_length + 1} {b.median(f, tool, 'rss') / MIB} {b.median(f, 'shuf', 'rss') / MIB}\n")
    a, bb, c = fit
    lines_few = files["by_length"][0].lines
    script = f"""
set terminal pngcairo size 1200,500 font ",10"
set output '{out_png}'
set multiplot layout 1,2
set title 'Time against line count (30-70 byte lines)'
set logscale xy
set xlabel 'lines'
set ylabel 'median wall time (s)'
set key top left
set grid
set xrange [500:2e7]
fit_base(x) = ({a!r})*x*x + ({bb!r})*x + ({c!r})
plot '{dat}' using 1:2 with linespoints lw 2 pt 7 title 'line\\_shuffler', \\
     '{dat}' using 1:($3==$3?$3:1/0) with points pt 5 ps 1.3 title 'rewind baseline', \\
     [1000:1e6] fit_base(x) with lines dt 2 title 'baseline quadratic fit', \\
     '{dat}' using 1:($4==$4?$4:1/0) with linespoints dt 3 pt 6 title 'floor (count + 1 pread/line)', \\
     '{dat}' using 1:($5==$5?$5:1/0) with linespoints dt 4 pt 4 title 'shuf'
unset logscale y
set logscale x
set title 'Peak memory against line length ({lines_few:,} lines)'
set xlabel 'bytes a line'
set ylabel 'peak resident memory (MiB)'
set xrange [5:20000]
set yrange [0:*]
plot '{mem}' using 1:2 with linespoints lw 2 pt 7 title 'line\\_shuffler', \\
     '{mem}' using 1:3 with linespoints dt 4 pt 4 title 'shuf'
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def load_average():
    return os.getloadavg()[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--bin", required=True, help="folder of the built helpers")
    parser.add_argument("--scratch", required=True)
    parser.add_argument("--out", required=True, help="folder for results.md and plot.png")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--huge", action="store_true")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    if args.quick:
        args.runs = min(args.runs, 2)
    args.large_runs = min(args.runs, 3)
    args.baseline_runs = min(args.runs, 3)

    started = time.time()
    loads = [load_average()]
    files = file_set(args.quick, args.huge)
    b = bench(args)
    tool = "line_shuffler"

    b.measure(files["one_line"], [tool, "floor", "shuf"], args.runs)
    for f in files["baseline"]:
        b.measure(f, [tool, "rewind_baseline"], args.baseline_runs)
    for f in files["tool_extra"]:
        b.measure(f, [tool, "floor", "shuf"], args.runs)
    b.measure(files["medium"], [tool, "floor", "shuf"], args.runs)
    b.measure(files["large"], [tool, "floor", "shuf"], args.large_runs)
    b.measure(files["few_long"], [tool, "floor", "shuf", "cat"], args.runs)
    b.measure(files["few_short"], [tool, "floor", "shuf", "cat"], args.runs)
    b.measure(files["few_short"], ["rewind_baseline"], args.baseline_runs)
    for f in files["by_length"]:
        if not b.has(f, tool):
            b.measure(f, [tool, "shuf"], args.runs)
    b.breakdown(files["medium"], args.runs)
    b.user_profile(files["medium"])
    b.instruction_profile(files["tool_extra"][0])
    if "huge" in files:
        b.measure(files["huge"], [tool], 1)
    loads.append(load_average())

    os.makedirs(args.out, exist_ok=True)
    report, fit = write_report(b, files, args, started, loads)
    with open(os.path.join(args.out, "results.md"), "w") as out:
        out.write(report)
    write_plot(b, files, fit, os.path.join(args.out, "plot.png"), args.scratch)
    with open(os.path.join(args.scratch, "runs.json"), "w") as out:
        json.dump({f"{k[0]} {k[1]}": v for k, v in b.results.items()}, out, indent=1)
    b.log(f"wrote {os.path.join(args.out, 'results.md')} and plot.png; raw runs in {args.scratch}/runs.json")


if __name__ == "__main__":
    sys.exit(main())
