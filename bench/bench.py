#!/usr/bin/env python3
"""Times line_shuffler side by side with shuf, cat and wc -l on deterministic
files, with and without the page cache, checks every output, and writes
results.md and plot.png.

Run it through bench/run.sh, which checks the tools it needs and builds the
tool and the helpers first.
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
GIB = 1024 * MIB

# The memory promise: peak resident memory at most this much plus
# ALLOWANCE_PER_LINE bytes a line, whatever the line lengths.
ALLOWANCE_BASE = 24 * MIB
ALLOWANCE_PER_LINE = 9


def allowance(lines):
    return ALLOWANCE_BASE + ALLOWANCE_PER_LINE * lines


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
    def expected_size(self):
        """Bytes, newlines included: for the disk check before making it."""
        return int(self.lines * ((self.min_length + self.max_length) / 2 + 1))


def short_lines(lines, seed=1):
    return data_file(f"short_{lines}", lines, 30, 70, seed, f"{lines:,} lines of 31-71 bytes")


def fixed_lines(lines, length):
    # length counts the newline, so the file is about lines x length bytes.
    return data_file(f"fixed_{length}B_{lines}", lines, length - 1, length - 1, 7,
                     f"{lines:,} lines of {length:,} bytes")


def file_set(quick, giant):
    """The sizes the targets name, or small ones for a smoke run."""
    if quick:
        files = {
            "short": [short_lines(n) for n in (100000, 300000, 1000000)],
            "long": fixed_lines(2000, 10000),
            "nocache": short_lines(40000),
            "baseline": [short_lines(n) for n in (1000, 2000, 4000)],
        }
    else:
        files = {
            "short": [short_lines(n) for n in (1000000, 10000000, 20000000)],
            "long": fixed_lines(20000, 10000),
            "nocache": short_lines(4000000),
            "baseline": [short_lines(n) for n in (1000, 2000, 5000, 10000)],
        }
    # Counting is timed on the 10M-line file; the quick run's largest file
    # is the nearest it has to that.
    files["count"] = files["short"][-1] if quick else files["short"][1]
    if giant:
        files["giant"] = short_lines(100000000)
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


class command:
    """One thing to time. `output` is the file whose line digest must equal
    the input's; `check` gets the folder and returns an error text or None;
    `cold` drops the input from the page cache before every run."""

    def __init__(self, argv, stdout=None, output=None, check=None, env=None, cold=False):
        self.argv = argv
        self.stdout = stdout
        self.output = output
        self.check = check
        self.env = env
        self.cold = cold


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
        self.cache_left = {}  # (file name, command) -> fractions of the file cached after each cold run
        self.shim_reads = {}  # (file name, command) -> (uncached reads, bytes) of the last cold run
        self.shim_proof = None

    def log(self, text):
        print(f"[{time.strftime('%H:%M:%S')}] {text}", flush=True)

    def helper(self, name):
        return os.path.join(self.bin, name)

    def path_of(self, f):
        return os.path.join(self.data, f.name + ".txt")

    def make(self, f):
        path = self.path_of(f)
        stamp = path + ".args"
        wanted = f"{f.lines} {f.min_length} {f.max_length} {f.seed}"
        if os.path.exists(path) and os.path.exists(stamp) and open(stamp).read() == wanted:
            return path
        self.log(f"making {f.name}: {f.note}")
        subprocess.run([self.helper("make_lines"), path, str(f.lines), str(f.min_length),
                        str(f.max_length), str(f.seed)], check=True)
        with open(stamp, "w") as out:
            out.write(wanted)
        return path

    def digest(self, path):
        return subprocess.run([self.helper("line_digest"), path], check=True,
                              capture_output=True, text=True).stdout.strip()

    def cached_pages(self, path, drop=False):
        text = subprocess.run([self.helper("page_cache"), "drop" if drop else "resident", path],
                              check=True, capture_output=True, text=True).stdout.split()
        return int(text[0]), int(text[1])

    def workdir(self, f):
        """A folder whose file.txt is the data file (a hard link: no copy)."""
        folder = os.path.join(self.work, f.name)
        os.makedirs(folder, exist_ok=True)
        link = os.path.join(folder, "file.txt")
        if os.path.lexists(link):
            os.remove(link)
        os.link(self.path_of(f), link)
        return folder

    def commands(self, f, names):
        def printed(name, expected):
            def check(folder):
                got = open(os.path.join(folder, name)).read().strip()
                return None if got == str(expected) else f"printed {got!r}, expected {expected}"
            return check

        shim = dict(os.environ, LD_PRELOAD=self.helper("nocache_shim.so"))
        size = os.path.getsize(self.path_of(f))
        every = {
            "line_shuffler": command([self.tool], output="shuffled_file.txt"),
            "shuf": command(["shuf", "-o", "shuf_out.txt", "file.txt"], output="shuf_out.txt"),
            # The launcher empties cat's output inside the timed span.
            "cat": command(["cat", "file.txt"], stdout="cat_out.txt", output="cat_out.txt"),
            "rewind_baseline": command([self.helper("rewind_baseline")], output="shuffled_file.txt"),
            "count_only": command([self.helper("count_only")], stdout="count.txt", check=printed("count.txt", f.lines)),
            # wc counts newlines; the files have none after their last line.
            "wc -l": command(["wc", "-l", "file.txt"], stdout="wc.txt",
                             check=printed("wc.txt", f"{f.lines - 1} file.txt")),
            "line_shuffler, no cache": command([self.tool], output="shuffled_file.txt", env=shim, cold=True),
            "seq_read, no cache": command([self.helper("seq_read"), "file.txt"], stdout="seq.txt",
                                          check=printed("seq.txt", size), env=shim, cold=True),
        }
        return {name: every[name] for name in names}

    def run_one(self, f, name, c, folder):
        env = c.env
        report = None
        if c.cold:
            self.cached_pages(os.path.join(folder, "file.txt"), drop=True)
            report = os.path.join(folder, "shim.txt")
            if os.path.exists(report):
                os.remove(report)
            env = dict(env, NOCACHE_SHIM_REPORT=report)
        measured = run_measured(self.measure_bin, c.argv, folder,
                                os.path.join(folder, c.stdout) if c.stdout else None, env)
        if c.cold:
            resident, pages = self.cached_pages(os.path.join(folder, "file.txt"))
            self.cache_left.setdefault((f.name, name), []).append(resident / max(1, pages))
            # The shim reports once per process that read a file uncached.
            counts = [line.split() for line in open(report)] if os.path.exists(report) else []
            self.shim_reads[(f.name, name)] = (sum(int(n[0]) for n in counts), sum(int(n[1]) for n in counts))
        return measured

    def measure(self, f, names, runs):
        """Interleaves the commands run by run, so that a change in the
        machine's load falls on all of them alike."""
        path = self.make(f)
        folder = self.workdir(f)
        commands = self.commands(f, names)
        for name, c in commands.items():
            # Warm-up run: fills the page cache (unless the command runs
            # cold) and proves the output right.
            self.run_one(f, name, c, folder)
            if c.output:
                if path not in self.digests:
                    self.digests[path] = self.digest(path)
                got = self.digest(os.path.join(folder, c.output))
                if got != self.digests[path]:
                    raise RuntimeError(f"{name} on {f.name}: output is not a permutation of the input "
                                       f"({got} != {self.digests[path]})")
            if c.check:
                wrong = c.check(folder)
                if wrong:
                    raise RuntimeError(f"{name} on {f.name}: {wrong}")
            if c.cold and self.shim_reads.get((f.name, name), (0, 0))[0] == 0:
                raise RuntimeError(f"{name} on {f.name}: no read went through nocache_shim")
            self.verified[(f.name, name)] = True
            self.cache_left.pop((f.name, name), None)
        for _ in range(runs):
            for name, c in commands.items():
                self.results.setdefault((f.name, name), []).append(self.run_one(f, name, c, folder))
        for c in commands.values():
            if c.output and c.output != "shuffled_file.txt":
                os.remove(os.path.join(folder, c.output))  # big files; the tool's output is kept for inspection
        summary = ", ".join(f"{n} {self.median(f, n, 'wall'):.3f} s" for n in commands)
        self.log(f"{f.name}: {summary}")

    def prove_shim(self, f):
        """Shows that reads under nocache_shim leave the file out of the
        page cache, while the same read without it fills the cache."""
        path = self.make(f)
        seq = [self.helper("seq_read"), path]
        shim = dict(os.environ, LD_PRELOAD=self.helper("nocache_shim.so"))
        before = self.cached_pages(path, drop=True)
        subprocess.run(seq, env=shim, check=True, stdout=subprocess.DEVNULL)
        after_shim = self.cached_pages(path)
        self.cached_pages(path, drop=True)
        subprocess.run(seq, check=True, stdout=subprocess.DEVNULL)
        after_plain = self.cached_pages(path)
        self.shim_proof = {"file": f, "before": before, "after_shim": after_shim, "after_plain": after_plain}
        self.log(f"page cache of {f.name}: {before[0]}/{before[1]} pages after the drop, {after_shim[0]} after "
                 f"a read under the shim, {after_plain[0]} after a plain read")
        if after_shim[0] > after_shim[1] // 100:
            raise RuntimeError("nocache_shim does not keep the file out of the page cache: "
                               f"{after_shim[0]} of {after_shim[1]} pages cached after a read under it")

    def giant(self, f):
        """One run each of the tool and shuf on the giant file, after
        checking that the disk holds the file and one output at a time."""
        path = self.path_of(f)
        need = f.expected_size + (0 if os.path.exists(path) else f.expected_size) + GIB
        free = shutil.disk_usage(self.data).free
        if free < need:
            raise RuntimeError(f"--giant needs about {need / GIB:.1f} GiB free in {self.data}, "
                               f"{free / GIB:.1f} GiB are")
        available = re.search(r"MemAvailable:\s*(\d+) kB", open("/proc/meminfo").read())
        if available and int(available.group(1)) * 1024 < 70 * f.lines:
            self.log(f"warning: shuf holds the whole file and about 64 B a line; "
                     f"{int(available.group(1)) / MIB:.1f} GiB of memory are available")
        self.make(f)
        folder = self.workdir(f)
        expected = self.digest(path)
        for name in ("line_shuffler", "shuf"):
            c = self.commands(f, [name])[name]
            self.log(f"{f.name}: running {name} once")
            self.results[(f.name, name)] = [self.run_one(f, name, c, folder)]
            got = self.digest(os.path.join(folder, c.output))
            os.remove(os.path.join(folder, c.output))
            if got != expected:
                raise RuntimeError(f"{name} on {f.name}: output is not a permutation of the input")
            self.verified[(f.name, name)] = True
            self.log(f"{f.name}: {name} {self.median(f, name, 'wall'):.1f} s, {mib(self.median(f, name, 'rss'))}")

    def median(self, f, name, key):
        return statistics.median(run[key] for run in self.results[(f.name, name)])

    def spread(self, f, name, key):
        values = [run[key] for run in self.results[(f.name, name)]]
        return min(values), max(values)

    def runs(self, f, name):
        return self.results[(f.name, name)]

    def has(self, f, name):
        return (f.name, name) in self.results


# ---------------------------------------------------------------------------
# Fitting and reporting.

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


def memory_check(b, f, name):
    """Largest peak of every run (warm-up excluded) against the allowance."""
    peaks = [run["rss"] for run in b.runs(f, name)]
    within = sum(peak <= allowance(f.lines) for peak in peaks)
    return max(peaks), within, len(peaks)


def write_report(b, files, args, started, loads):
    m = machine()
    tool = "line_shuffler"
    lines = []
    put = lines.append
    elapsed = time.time() - started
    mode = " --quick" if args.quick else ""
    mode += " --giant" if "giant" in files else ""
    put("# line_shuffler benchmark")
    put("")
    put(f"Written by `bench/run.sh{mode}` on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; "
        f"it took {elapsed / 60:.1f} minutes. Regenerate this file and `plot.png` with `bench/run.sh`.")
    put("")
    put(f"Machine: {m['cpu']}, {m['cores']} cores, {m['ram']} RAM, Linux {m['kernel']}, {m['compiler']}.")
    put(f"Load average (1 min) at the start {loads[0]:.2f}, at the end {loads[1]:.2f}: the machine is shared, "
        f"so the commands are run interleaved, round by round, and compared as ratios of medians. "
        f"Every command ran once to check its output (and, unless it runs without the page cache, to warm "
        f"the cache), then {args.runs} measured rounds ({args.large_runs} on files of 10 million lines or more, "
        f"{args.baseline_runs} for the rewind baseline). Wall time is from start to exit as seen by the parent; "
        f"peak memory is the kernel's maximum resident set size of the process (`ru_maxrss`).")
    if args.quick:
        put("")
        put("**Quick mode**: the files are far smaller than the targets name; the figures are a smoke run, "
            "not the targets.")
    put("")

    short = files["short"]
    long_f = files["long"]
    cold = files["nocache"]
    counted = files["count"]
    ratio = {f.name: b.median(f, tool, "wall") / b.median(f, "shuf", "wall") for f in short}
    cat_ratio = b.median(long_f, tool, "wall") / b.median(long_f, "cat", "wall")
    long_peak = max(run["rss"] for run in b.runs(long_f, tool))
    cold_ratio = b.median(cold, "line_shuffler, no cache", "wall") / b.median(cold, "seq_read, no cache", "wall")
    count_ratio = b.median(counted, "count_only", "wall") / b.median(counted, "wc -l", "wall")

    put("## Targets")
    put("")
    put("| Target | Measured | |")
    put("|---|---|---|")
    for f in short:
        put(f"| {f.lines:,} lines: time at most 0.7 of `shuf`'s | {ratio[f.name]:.2f} "
            f"({seconds(b.median(f, tool, 'wall'))} vs {seconds(b.median(f, 'shuf', 'wall'))}) | "
            f"{verdict(ratio[f.name] <= 0.7)} |")
    for f, name in [(f, tool) for f in short] + [(cold, "line_shuffler, no cache")]:
        peak, within, total = memory_check(b, f, name)
        put(f"| {f.lines:,} lines{', no page cache' if f is cold else ''}: peak memory at most 24 MiB + 9 B/line = {mib(allowance(f.lines))} | "
            f"largest of {total} runs {mib(peak)}; {within} of {total} within | {verdict(within == total)} |")
    put(f"| {long_f.note}: peak memory at most 24 MiB | largest of {len(b.runs(long_f, tool))} runs "
        f"{mib(long_peak)} | {verdict(long_peak <= ALLOWANCE_BASE)} |")
    put(f"| {long_f.note}: time at most 2x `cat`'s | {cat_ratio:.2f}x ({seconds(b.median(long_f, tool, 'wall'))} "
        f"vs {seconds(b.median(long_f, 'cat', 'wall'))}) | {verdict(cat_ratio <= 2)} |")
    put(f"| {cold.lines:,} lines without the page cache: at most 20x one sequential read under the same model | "
        f"{cold_ratio:.1f}x ({seconds(b.median(cold, 'line_shuffler, no cache', 'wall'))} vs "
        f"{seconds(b.median(cold, 'seq_read, no cache', 'wall'))}) | {verdict(cold_ratio <= 20)} |")
    put(f"| Counting {counted.lines:,} lines: at most 2x `wc -l` | {count_ratio:.2f}x "
        f"({seconds(b.median(counted, 'count_only', 'wall'))} vs {seconds(b.median(counted, 'wc -l', 'wall'))}) | "
        f"{verdict(count_ratio <= 2)} |")
    if "giant" in files:
        g = files["giant"]
        put(f"| {g.lines:,} lines: time and peak memory against `shuf` (one run each) | "
            f"{seconds(b.median(g, tool, 'wall'))}, {mib(b.median(g, tool, 'rss'))} vs "
            f"{seconds(b.median(g, 'shuf', 'wall'))}, {mib(b.median(g, 'shuf', 'rss'))} | "
            f"{verdict(b.median(g, tool, 'rss') <= allowance(g.lines))} (memory) |")
    put("")

    put("## Short lines against `shuf`")
    put("")
    put("Median wall time (min-max) and median peak resident memory; the ratio is of the median wall times. "
        "The allowance is 24 MiB + 9 B/line; \"within\" counts the measured runs whose peak is under it.")
    put("")
    put("| File | Size | line_shuffler | shuf | cat | line_shuffler / shuf | Allowance | Within |")
    put("|---|---|---|---|---|---|---|---|")
    for f in short:
        size = os.path.getsize(b.path_of(f))
        cells = []
        for name in (tool, "shuf", "cat"):
            low, high = b.spread(f, name, "wall")
            cells.append(f"{seconds(b.median(f, name, 'wall'))} ({seconds(low)}-{seconds(high)}), "
                         f"{mib(b.median(f, name, 'rss'))}")
        peak, within, total = memory_check(b, f, tool)
        put(f"| {f.note} | {size / 1e6:,.0f} MB | {' | '.join(cells)} | {ratio[f.name]:.2f} | "
            f"{mib(allowance(f.lines))} | {within}/{total} (largest {mib(peak)}) |")
    put("")
    put("Every output was checked to be a permutation of its input (same count, sum and XOR of line hashes, "
        "`line_digest`).")
    put("")

    put("## Long lines")
    put("")
    put("| File | Command | Wall (min-max) | Peak memory |")
    put("|---|---|---|---|")
    for name in (tool, "cat", "shuf"):
        low, high = b.spread(long_f, name, "wall")
        put(f"| {long_f.note} | {name} | {seconds(b.median(long_f, name, 'wall'))} ({seconds(low)}-{seconds(high)}) | "
            f"{mib(b.median(long_f, name, 'rss'))} |")
    put("")

    put("## Without the page cache")
    put("")
    put("A file larger than memory is modelled on one that fits: before every run the file's pages are "
        "dropped from the page cache (`page_cache drop`: fsync, then `POSIX_FADV_DONTNEED`), and "
        "`nocache_shim.so` is preloaded into the command, turning every `read`, `pread` and `preadv` of a "
        "regular file into `preadv2` with `RWF_DONTCACHE`, so that what a read brings in is dropped again "
        "once copied out. The sequential read is `seq_read`: the file from start to end in 1 MiB reads.")
    put("")
    p = b.shim_proof
    if p:
        put(f"Check of the model on {p['file'].note}: after the drop {p['before'][0]} of {p['before'][1]} pages "
            f"were cached; after `seq_read` under the shim {p['after_shim'][0]}; after a plain `seq_read` "
            f"{p['after_plain'][0]}.")
        put("")
    put("| File | Command | Wall (min-max) | Per line | Peak memory | Reads through the shim | File left in the cache after a run |")
    put("|---|---|---|---|---|---|---|")
    for name in ("line_shuffler, no cache", "seq_read, no cache"):
        low, high = b.spread(cold, name, "wall")
        reads, read_bytes = b.shim_reads.get((cold.name, name), (0, 0))
        left = b.cache_left.get((cold.name, name), [0.0])
        put(f"| {cold.note} | {name} | {seconds(b.median(cold, name, 'wall'))} ({seconds(low)}-{seconds(high)}) | "
            f"{b.median(cold, name, 'wall') / cold.lines * 1e6:.2f} us | {mib(b.median(cold, name, 'rss'))} | "
            f"{reads:,} reads, {read_bytes / MIB:,.0f} MiB | {min(left):.0%}-{max(left):.0%} |")
    put("")
    put("The kernel does not drop every page so read: the last column is the share of the file's pages still "
        "cached at the end of each measured run (`page_cache resident`; the drop before the next run clears "
        "them). The model is therefore not one of strictly no cache hits; the time per line, against the "
        "warm runs above, shows how far it is from the cached case.")
    put("")

    put("## Counting")
    put("")
    put("`count_only` runs the tool's own `open_input_file` and `count_lines` on file.txt and prints the count; "
        "`wc -l` counts the same file's newlines. Both read a file in the page cache.")
    put("")
    put("| File | Command | Wall (min-max) | Peak memory |")
    put("|---|---|---|---|")
    for name in ("count_only", "wc -l"):
        low, high = b.spread(counted, name, "wall")
        put(f"| {counted.note} | {name} | {seconds(b.median(counted, name, 'wall'))} ({seconds(low)}-{seconds(high)}) | "
            f"{mib(b.median(counted, name, 'rss'))} |")
    put("")

    if "giant" in files:
        g = files["giant"]
        put(f"## {g.lines:,} lines")
        put("")
        put(f"{g.note}, {os.path.getsize(b.path_of(g)) / 1e9:.2f} GB: one run each, without a warm-up run (the "
            f"file was read just before, for its digest); both outputs checked to be permutations of the input. "
            f"line_shuffler / shuf = {b.median(g, tool, 'wall') / b.median(g, 'shuf', 'wall'):.2f}.")
        put("")
        put("| Command | Wall | Peak memory |")
        put("|---|---|---|")
        for name in (tool, "shuf"):
            put(f"| {name} | {seconds(b.median(g, name, 'wall'))} | {mib(b.median(g, name, 'rss'))} |")
        put(f"| allowance | | {mib(allowance(g.lines))} |")
        put("")

    base_points = [(f.lines, b.median(f, "rewind_baseline", "wall")) for f in files["baseline"]]
    a, bb, c = quadratic_fit(base_points)
    biggest = files["baseline"][-1]
    estimate = a * 1e12 + bb * 1e6 + c
    put("## The rewind baseline")
    put("")
    put(f"`bench/rewind_baseline.cpp` is the first design: `fgets` into a 1000-byte buffer and a rewind to the "
        f"start of the input for every output line, so its time grows with the square of the line count. A "
        + (f"least-squares fit t = a n^2 + b n + c over {', '.join(f'{n:,}' for n, _ in base_points)} lines gives "
           f"a = {a:.3e} s, so a million lines would take about {estimate:,.0f} s ({estimate / 3600:.1f} hours)."
           if a > 0 and estimate > 0 else
           "least-squares fit of t = a n^2 + b n + c over these few small sizes gives no positive square term "
           "(start-up time dominates), so no estimate for a million lines is made."))
    put("")
    put("| Lines | rewind_baseline | line_shuffler | Ratio |")
    put("|---|---|---|---|")
    for f in files["baseline"]:
        put(f"| {f.lines:,} | {seconds(b.median(f, 'rewind_baseline', 'wall'))} | "
            f"{seconds(b.median(f, tool, 'wall'))} | "
            f"{b.median(f, 'rewind_baseline', 'wall') / b.median(f, tool, 'wall'):,.0f}x |")
    put("")

    put("## Plot")
    put("")
    put("![time and peak memory against lines](plot.png)")
    put("")
    return "\n".join(lines) + "\n"


def write_plot(b, files, out_png, scratch):
    tool = "line_shuffler"
    sizes = list(files["short"]) + ([files["giant"]] if "giant" in files else [])
    nan = float("nan")

    def value(f, name, key, scale=1.0):
        return b.median(f, name, key) / scale if b.has(f, name) else nan

    dat = os.path.join(scratch, "plot.dat")
    with open(dat, "w") as out:
        for f in sizes:
            out.write(f"{f.lines} {value(f, tool, 'wall')} {value(f, 'shuf', 'wall')} {value(f, 'cat', 'wall')} "
                      f"{value(f, tool, 'rss', MIB)} {value(f, 'shuf', 'rss', MIB)}\n")
    cold = files["nocache"]
    cold_dat = os.path.join(scratch, "plot_cold.dat")
    with open(cold_dat, "w") as out:
        out.write(f"{cold.lines} {value(cold, 'line_shuffler, no cache', 'wall')} "
                  f"{value(cold, 'seq_read, no cache', 'wall')} {value(cold, 'line_shuffler, no cache', 'rss', MIB)}\n")
    low = min(f.lines for f in sizes + [cold]) / 2
    high = max(f.lines for f in sizes + [cold]) * 2
    script = f"""
set terminal pngcairo size 1200,600 font ",10"
set output '{out_png}'
set multiplot layout 1,2
set title 'Time against line count (31-71 byte lines)'
set logscale xy
set xlabel 'lines'
set ylabel 'median wall time (s)'
set key below
set grid
set xrange [{low}:{high}]
plot '{dat}' using 1:2 with linespoints lw 2 pt 7 title 'line\\_shuffler', \\
     '{dat}' using 1:3 with linespoints dt 4 pt 4 title 'shuf', \\
     '{dat}' using 1:4 with linespoints dt 3 pt 6 title 'cat', \\
     '{cold_dat}' using 1:2 with points pt 9 ps 1.5 title 'line\\_shuffler, no page cache', \\
     '{cold_dat}' using 1:3 with points pt 8 ps 1.5 title 'one sequential read, no page cache'
set title 'Peak memory against line count'
set ylabel 'peak resident memory (MiB)'
plot '{dat}' using 1:5 with linespoints lw 2 pt 7 title 'line\\_shuffler', \\
     '{dat}' using 1:6 with linespoints dt 4 pt 4 title 'shuf', \\
     '{cold_dat}' using 1:4 with points pt 9 ps 1.5 title 'line\\_shuffler, no page cache', \\
     [{low}:{high}] 24 + 9 * x / 1048576 with lines dt 2 lw 2 title 'allowance 24 MiB + 9 B/line'
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--bin", required=True, help="folder of the built helpers")
    parser.add_argument("--scratch", required=True)
    parser.add_argument("--out", required=True, help="folder for results.md and plot.png")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--giant", action="store_true")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    if args.quick:
        args.runs = min(args.runs, 3)
    args.large_runs = min(args.runs, 3)
    args.baseline_runs = min(args.runs, 3)

    started = time.time()
    loads = [os.getloadavg()[0]]
    files = file_set(args.quick, args.giant)
    b = bench(args)
    tool = "line_shuffler"

    for f in files["short"]:
        b.measure(f, [tool, "shuf", "cat"], args.large_runs if f.lines >= 10000000 else args.runs)
    b.measure(files["long"], [tool, "cat", "shuf"], args.runs)
    b.measure(files["count"], ["count_only", "wc -l"], args.runs)
    b.prove_shim(files["nocache"])
    b.measure(files["nocache"], ["line_shuffler, no cache", "seq_read, no cache"], args.runs)
    for f in files["baseline"]:
        b.measure(f, [tool, "rewind_baseline"], args.baseline_runs)
    if "giant" in files:
        b.giant(files["giant"])
    loads.append(os.getloadavg()[0])

    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "results.md"), "w") as out:
        out.write(write_report(b, files, args, started, loads))
    write_plot(b, files, os.path.join(args.out, "plot.png"), args.scratch)
    with open(os.path.join(args.scratch, "runs.json"), "w") as out:
        json.dump({f"{k[0]} {k[1]}": v for k, v in b.results.items()}, out, indent=1)
    b.log(f"wrote {os.path.join(args.out, 'results.md')} and plot.png; raw runs in {args.scratch}/runs.json")


if __name__ == "__main__":
    sys.exit(main())
