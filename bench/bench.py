#!/usr/bin/env python3
"""Times line_shuffler side by side with shuf, cat and wc -l on deterministic
files, with and without the page cache, checks every output, and writes
results.md and plot.png.

The benchmark is made of parts (see PARTS) that can run alone (--only); the
runs of every part are kept in runs.json next to results.md, so that a part
run alone replaces its own section and leaves the others as they were.

Run it through bench/run.sh, which checks the tools it needs and builds the
tool and the helpers first.
"""
import argparse
import hashlib
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

TOOL = "line_shuffler"

# The memory promise: peak resident memory at most this much plus
# ALLOWANCE_PER_LINE bytes a line, whatever the line lengths.
ALLOWANCE_BASE = 24 * MIB
ALLOWANCE_PER_LINE = 9

# The parts in the order they run and are reported, and what each measures.
PARTS = {
    "short": "short lines (31-71 bytes) against shuf and cat, in the page cache",
    "500": "lines of 400-600 bytes against shuf and cat, in the page cache",
    "long": "20,000 lines of 10 KB against cat and shuf",
    "count": "counting alone against wc -l",
    "nocache": "the tool without the page cache against one sequential read",
    "baseline": "the rewind baseline (the first design)",
    "giant": "100,000,000 lines against shuf, one run each",
}
DEFAULT_PARTS = [p for p in PARTS if p != "giant"]

# Files of at least this many bytes get fewer measured rounds.
LARGE_FILE = 500 * 1000 * 1000

RUNS_FILE_VERSION = 1

# The time targets, as fractions of shuf's median time on the same file.
def short_target(lines):
    return 0.3 if lines < 10000000 else 0.2


TARGET_500 = 0.2
# With both cores of an idle machine, on the 10M-line file and the
# ~500-byte one.
TARGET_BOTH_CORES = 0.13
BOTH_CORES_LINES = 10000000

# The windowed writer on 20,000 lines of 10 KB, from bench/results.md at
# 14a0cda: the long lines must be no slower than that.
BEFORE_LONG = {"commit": "14a0cda", "tool": 0.3623, "cat": 0.1573}


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

    def described(self, size):
        return {"name": self.name, "lines": self.lines, "note": self.note, "size": size}


def short_lines(lines, seed=1):
    return data_file(f"short_{lines}", lines, 30, 70, seed, f"{lines:,} lines of 31-71 bytes")


def lines_500(lines):
    # 399-599 characters and a newline: 400-600 bytes, 500 on average.
    return data_file(f"lines500_{lines}", lines, 399, 599, 5, f"{lines:,} lines of 400-600 bytes")


def fixed_lines(lines, length):
    # length counts the newline, so the file is about lines x length bytes.
    return data_file(f"fixed_{length}B_{lines}", lines, length - 1, length - 1, 7,
                     f"{lines:,} lines of {length:,} bytes")


def file_set(quick):
    """The files of every part: the sizes the targets name, or small ones
    for a smoke run."""
    if quick:
        files = {
            "short": [short_lines(n) for n in (100000, 300000, 1000000)],
            "500": [lines_500(100000)],
            "long": [fixed_lines(2000, 10000)],
            "nocache": [short_lines(40000)],
            "baseline": [short_lines(n) for n in (1000, 2000, 4000)],
        }
        # Counting is timed on the 10M-line file; the quick run's largest
        # file is the nearest it has to that.
        files["count"] = [files["short"][-1]]
    else:
        files = {
            "short": [short_lines(n) for n in (1000000, 10000000, 20000000)],
            "500": [lines_500(2000000)],
            "long": [fixed_lines(20000, 10000)],
            "nocache": [short_lines(4000000)],
            "baseline": [short_lines(n) for n in (1000, 2000, 5000, 10000)],
        }
        files["count"] = [files["short"][1]]
    files["giant"] = [short_lines(100000000)]
    return files


# How many copies of its file a part's outputs take on the disk at once
# (every command's output stays until the file's rounds are over).
OUTPUT_COPIES = {"short": 3, "500": 3, "long": 3, "count": 0, "nocache": 1, "baseline": 1, "giant": 1}


# ---------------------------------------------------------------------------
# Running and measuring.

def run_measured(measure, argv, cwd, stdout_path=None, env=None, prefix=()):
    """Runs argv once through the measure launcher (after `prefix`, if any);
    returns wall seconds, CPU seconds, peak RSS bytes and exit status."""
    report = os.path.join(cwd, "measure.txt")
    if os.path.exists(report):
        os.remove(report)
    done = subprocess.run(list(prefix) + [measure, report, stdout_path or "-"] + argv, cwd=cwd, env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if not os.path.exists(report):
        raise RuntimeError(f"{argv} in {cwd}: no report from measure (status {done.returncode}): "
                           f"{done.stderr.decode(errors='replace')}")
    wall, user, system, rss, status = open(report).read().split()
    return {"wall": float(wall), "cpu": float(user) + float(system), "user": float(user),
            "sys": float(system), "rss": int(rss), "status": int(status),
            "stderr": done.stderr.decode(errors="replace")[-2000:]}


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
        self.record = None

    def log(self, text):
        print(f"[{time.strftime('%H:%M:%S')}] {text}", flush=True)

    def helper(self, name):
        return os.path.join(self.bin, name)

    def path_of(self, f):
        return os.path.join(self.data, f.name + ".txt")

    def is_made(self, f):
        path = self.path_of(f)
        stamp = path + ".args"
        return os.path.exists(path) and os.path.exists(stamp) and open(stamp).read() == self.wanted(f)

    @staticmethod
    def wanted(f):
        return f"{f.lines} {f.min_length} {f.max_length} {f.seed}"

    def make(self, f):
        path = self.path_of(f)
        if self.is_made(f):
            return path
        self.log(f"making {f.name}: {f.note}")
        for stale in (path + ".args", path + ".digest"):
            if os.path.exists(stale):
                os.remove(stale)
        subprocess.run([self.helper("make_lines"), path, str(f.lines), str(f.min_length),
                        str(f.max_length), str(f.seed)], check=True)
        with open(path + ".args", "w") as out:
            out.write(self.wanted(f))
        return path

    def digest(self, path):
        return subprocess.run([self.helper("line_digest"), path], check=True,
                              capture_output=True, text=True).stdout.strip()

    def input_digest(self, f):
        """The data file's digest, kept beside it: big files take seconds."""
        path = self.make(f)
        kept = path + ".digest"
        if os.path.exists(kept):
            return open(kept).read()
        value = self.digest(path)
        with open(kept, "w") as out:
            out.write(value)
        return value

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
            TOOL: command([self.tool], output="shuffled_file.txt"),
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

    # -- The record of the part being run ----------------------------------

    def begin(self, part):
        self.record = {"part": part, "started": time.time(), "load": [os.getloadavg()[0]],
                       "files": {}, "runs": {}, "extra": {}}
        return self.record

    def add_file(self, f):
        self.record["files"][f.name] = f.described(os.path.getsize(self.path_of(f)))

    def add_run(self, f, name, run):
        self.record["runs"].setdefault(f"{f.name}|{name}", []).append(run)

    def current(self, f, name, key):
        return statistics.median(run[key] for run in self.record["runs"][f"{f.name}|{name}"])

    # -- Measuring -----------------------------------------------------------

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
        if measured["status"] != 0:
            raise RuntimeError(f"{c.argv} on {f.name} failed with status {measured['status']}: {measured['stderr']}")
        if c.cold:
            resident, pages = self.cached_pages(os.path.join(folder, "file.txt"))
            measured["cache_left"] = resident / max(1, pages)
            # The shim reports once per process that read a file uncached.
            counts = [line.split() for line in open(report)] if os.path.exists(report) else []
            measured["shim_reads"] = sum(int(n[0]) for n in counts)
            measured["shim_bytes"] = sum(int(n[1]) for n in counts)
        return measured

    def check_output(self, f, name, c, folder):
        if c.output:
            got = self.digest(os.path.join(folder, c.output))
            if got != self.input_digest(f):
                raise RuntimeError(f"{name} on {f.name}: output is not a permutation of the input "
                                   f"({got} != {self.input_digest(f)})")
        if c.check:
            wrong = c.check(folder)
            if wrong:
                raise RuntimeError(f"{name} on {f.name}: {wrong}")

    def measure(self, f, names, runs):
        """Interleaves the commands run by run, so that a change in the
        machine's load falls on all of them alike."""
        self.make(f)
        self.add_file(f)
        folder = self.workdir(f)
        commands = self.commands(f, names)
        for name, c in commands.items():
            # Warm-up run: fills the page cache (unless the command runs
            # cold) and proves the output right.
            warm = self.run_one(f, name, c, folder)
            self.check_output(f, name, c, folder)
            if c.cold and warm.get("shim_reads", 0) == 0:
                raise RuntimeError(f"{name} on {f.name}: no read went through nocache_shim")
        for _ in range(runs):
            for name, c in commands.items():
                self.add_run(f, name, self.run_one(f, name, c, folder))
        for c in commands.values():
            if c.output and os.path.exists(os.path.join(folder, c.output)):
                os.remove(os.path.join(folder, c.output))
        summary = ", ".join(f"{n} {self.current(f, n, 'wall'):.3f} s" for n in commands)
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
        self.record["extra"]["shim_proof"] = {"file": f.note, "before": before, "after_shim": after_shim,
                                              "after_plain": after_plain}
        self.log(f"page cache of {f.name}: {before[0]}/{before[1]} pages after the drop, {after_shim[0]} after "
                 f"a read under the shim, {after_plain[0]} after a plain read")
        if after_shim[0] > after_shim[1] // 100:
            raise RuntimeError("nocache_shim does not keep the file out of the page cache: "
                               f"{after_shim[0]} of {after_shim[1]} pages cached after a read under it")

    def giant(self, f):
        """One run each of the tool and shuf on the giant file."""
        available = re.search(r"MemAvailable:\s*(\d+) kB", open("/proc/meminfo").read())
        if available and int(available.group(1)) * 1024 < 70 * f.lines:
            self.log(f"warning: shuf holds the whole file and about 64 B a line; "
                     f"{int(available.group(1)) / MIB:.1f} GiB of memory are available")
        self.make(f)
        self.add_file(f)
        folder = self.workdir(f)
        self.input_digest(f)
        for name in (TOOL, "shuf"):
            c = self.commands(f, [name])[name]
            self.log(f"{f.name}: running {name} once")
            self.add_run(f, name, self.run_one(f, name, c, folder))
            self.check_output(f, name, c, folder)
            os.remove(os.path.join(folder, c.output))
            self.log(f"{f.name}: {name} {self.current(f, name, 'wall'):.1f} s, {mib(self.current(f, name, 'rss'))}")


# ---------------------------------------------------------------------------
# The parts.

def rounds_for(args, f):
    return args.large_runs if f.expected_size >= LARGE_FILE else args.runs


def run_part(b, part, files, args):
    if part in ("short", "500"):
        for f in files[part]:
            b.measure(f, [TOOL, "shuf", "cat"], rounds_for(args, f))
    elif part == "long":
        b.measure(files["long"][0], [TOOL, "cat", "shuf"], args.runs)
    elif part == "count":
        b.measure(files["count"][0], ["count_only", "wc -l"], args.runs)
    elif part == "nocache":
        b.prove_shim(files["nocache"][0])
        b.measure(files["nocache"][0], ["line_shuffler, no cache", "seq_read, no cache"], args.runs)
    elif part == "baseline":
        for f in files["baseline"]:
            b.measure(f, [TOOL, "rewind_baseline"], args.baseline_runs)
    elif part == "giant":
        b.giant(files["giant"][0])


def check_disk(b, parts, files):
    """Stops before anything is measured if the scratch folder cannot hold
    the files still to be made and the largest set of outputs at once."""
    to_make = {}
    outputs = 0
    for part in parts:
        for f in files[part]:
            if not b.is_made(f):
                to_make[f.name] = f.expected_size
            outputs = max(outputs, OUTPUT_COPIES[part] * f.expected_size)
    need = sum(to_make.values()) + outputs + GIB
    free = shutil.disk_usage(b.data).free
    b.log(f"disk: {sum(to_make.values()) / 1e9:.1f} GB of files to make, up to {outputs / 1e9:.1f} GB of "
          f"outputs at once; {free / 1e9:.1f} GB free in {b.data}")
    if free < need:
        raise SystemExit(f"bench: these parts need about {need / 1e9:.1f} GB free in {b.data}, "
                         f"{free / 1e9:.1f} GB are")


# ---------------------------------------------------------------------------
# Reading the kept runs back.

class view:
    """One part's record, as the report reads it."""

    def __init__(self, record):
        self.record = record
        self.files = record["files"]
        self.extra = record["extra"]

    def runs(self, f, name):
        return self.record["runs"][f"{f['name']}|{name}"]

    def has(self, f, name):
        return f"{f['name']}|{name}" in self.record["runs"]

    def median(self, f, name, key):
        return statistics.median(run[key] for run in self.runs(f, name))

    def spread(self, f, name, key):
        values = [run[key] for run in self.runs(f, name)]
        return min(values), max(values)

    def file_list(self):
        return list(self.files.values())


def load_records(path):
    try:
        kept = json.load(open(path))
    except (OSError, ValueError):
        return {}
    if kept.get("version") != RUNS_FILE_VERSION:
        return {}
    return {part: record for part, record in kept.get("parts", {}).items() if part in PARTS}


def save_records(path, records):
    with open(path + ".new", "w") as out:
        json.dump({"version": RUNS_FILE_VERSION, "parts": records}, out, indent=1)
    os.replace(path + ".new", path)


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


def tool_identity(path):
    digest = hashlib.sha256()
    with open(path, "rb") as binary:
        for block in iter(lambda: binary.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()[:12]


def tree_state(repo):
    head = subprocess.run(["git", "-C", repo, "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    if head.returncode != 0:
        return "?"
    # Changes to the benchmark itself do not change the tool.
    changed = subprocess.run(["git", "-C", repo, "status", "--porcelain", "--untracked-files=no", "--", ".",
                              ":!bench"], capture_output=True, text=True).stdout.strip()
    return head.stdout.strip() + (" with local changes" if changed else "")


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


def memory_check(v, f, name):
    """Largest peak of every measured run (warm-up excluded) against the
    allowance."""
    peaks = [run["rss"] for run in v.runs(f, name)]
    within = sum(peak <= allowance(f["lines"]) for peak in peaks)
    return max(peaks), within, len(peaks)


def timed(v, f, name):
    """Median wall time with its spread, and median peak memory."""
    low, high = v.spread(f, name, "wall")
    return f"{seconds(v.median(f, name, 'wall'))} ({seconds(low)}-{seconds(high)}), {mib(v.median(f, name, 'rss'))}"


def part_heading(put, record, title):
    put(f"## {title}")
    put("")
    when = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(record["started"]))
    took = record["minutes"]
    took = f"{took:.1f} minutes" if took >= 1 else f"{took * 60:.0f} s"
    put(f"Measured {when} by `{record['invocation']}` ({took}, load average "
        f"{record['load'][0]:.2f} at the start and {record['load'][-1]:.2f} at the end; tool "
        f"`{record['tool']}`, sha256 {record['tool_sha']}, tree at {record['tree']}).")
    if record.get("error"):
        put("")
        put(f"**This part failed:** {record['error']}")
    put("")


def target_rows(records):
    """The targets table: one row per target, from whichever parts ran."""
    rows = []

    def missing(part, what):
        rows.append((what, f"not measured (`--only {part}`)", ""))

    def against_shuf(v, f, target, what=None, more=""):
        ratio = v.median(f, TOOL, "wall") / v.median(f, "shuf", "wall")
        rows.append((what or f"{f['note']}: time at most {target} of `shuf`'s",
                     f"{ratio:.2f} ({seconds(v.median(f, TOOL, 'wall'))} vs {seconds(v.median(f, 'shuf', 'wall'))})"
                     + more, verdict(ratio <= target)))

    def within_allowance(v, f, name=TOOL, what=""):
        peak, within, total = memory_check(v, f, name)
        rows.append((f"{f['note']}{what}: peak memory at most 24 MiB + 9 B/line = {mib(allowance(f['lines']))}",
                     f"largest of {total} runs {mib(peak)}; {within} of {total} within", verdict(within == total)))

    cached = [p for p in ("short", "500") if p in records and not records[p].get("error")]
    for part in ("short", "500"):
        if part not in cached:
            missing(part, PARTS[part])
            continue
        v = view(records[part])
        for f in v.file_list():
            against_shuf(v, f, short_target(f["lines"]) if part == "short" else TARGET_500)
    # Both cores: the 10M-line file (the largest the quick run has) and the
    # ~500-byte one, from the same runs.
    for part in cached:
        v = view(records[part])
        files = v.file_list()
        if part == "short":
            files = [f for f in files if f["lines"] == BOTH_CORES_LINES] or [max(files, key=lambda f: f["lines"])]
        record = records[part]
        for f in files:
            cores = v.median(f, TOOL, "cpu") / v.median(f, TOOL, "wall")
            against_shuf(v, f, TARGET_BOTH_CORES,
                         f"{f['note']}, both cores of an idle machine: time at most {TARGET_BOTH_CORES} of `shuf`'s",
                         f"; tool CPU time {cores:.2f}x its wall time; load average "
                         f"{record['load'][0]:.2f}-{record['load'][-1]:.2f}")
    for part in cached:
        v = view(records[part])
        for f in v.file_list():
            within_allowance(v, f)
    if "long" in records and not records["long"].get("error"):
        v = view(records["long"])
        f = v.file_list()[0]
        within_allowance(v, f)
        ratio = v.median(f, TOOL, "wall") / v.median(f, "cat", "wall")
        before = BEFORE_LONG["tool"] / BEFORE_LONG["cat"]
        rows.append((f"{f['note']}: no slower than the windowed writer ({before:.2f}x `cat`, "
                     f"{seconds(BEFORE_LONG['tool'])}, in `results.md` at {BEFORE_LONG['commit']})",
                     f"{ratio:.2f}x `cat` ({seconds(v.median(f, TOOL, 'wall'))} vs "
                     f"{seconds(v.median(f, 'cat', 'wall'))})", verdict(ratio <= before)))
    else:
        missing("long", "Long lines")
    if "nocache" in records and not records["nocache"].get("error"):
        v = view(records["nocache"])
        f = v.file_list()[0]
        within_allowance(v, f, "line_shuffler, no cache", ", no page cache")
        ratio = v.median(f, "line_shuffler, no cache", "wall") / v.median(f, "seq_read, no cache", "wall")
        rows.append((f"{f['lines']:,} lines without the page cache: at most 20x one sequential read under the same model",
                     f"{ratio:.1f}x ({seconds(v.median(f, 'line_shuffler, no cache', 'wall'))} vs "
                     f"{seconds(v.median(f, 'seq_read, no cache', 'wall'))})", verdict(ratio <= 20)))
    else:
        missing("nocache", "Without the page cache")
    if "count" in records and not records["count"].get("error"):
        v = view(records["count"])
        f = v.file_list()[0]
        ratio = v.median(f, "count_only", "wall") / v.median(f, "wc -l", "wall")
        rows.append((f"Counting {f['lines']:,} lines: at most 2x `wc -l`",
                     f"{ratio:.2f}x ({seconds(v.median(f, 'count_only', 'wall'))} vs {seconds(v.median(f, 'wc -l', 'wall'))})",
                     verdict(ratio <= 2)))
    else:
        missing("count", "Counting")
    if "giant" in records and not records["giant"].get("error"):
        v = view(records["giant"])
        f = v.file_list()[0]
        rows.append((f"{f['lines']:,} lines: time and peak memory against `shuf` (one run each)",
                     f"{seconds(v.median(f, TOOL, 'wall'))}, {mib(v.median(f, TOOL, 'rss'))} vs "
                     f"{seconds(v.median(f, 'shuf', 'wall'))}, {mib(v.median(f, 'shuf', 'rss'))}",
                     f"{verdict(v.median(f, TOOL, 'rss') <= allowance(f['lines']))} (memory)"))
    for part, record in records.items():
        if record.get("error"):
            rows.append((PARTS[part], f"failed: {record['error']}", "**not met**"))
    return rows


def write_report(records, args, out_dir):
    m = machine()
    lines = []
    put = lines.append
    put("# line_shuffler benchmark")
    put("")
    put(f"Written by `bench/run.sh` on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} from the parts "
        f"below; a part run alone (`--only`) replaces its own section and the others keep the figures of their "
        f"last run (all runs are kept in `runs.json` beside this file). Regenerate this file and `plot.png` "
        f"with `bench/run.sh`.")
    put("")
    put(f"Machine: {m['cpu']}, {m['cores']} cores, {m['ram']} RAM, Linux {m['kernel']}, {m['compiler']}.")
    put("The machine is shared, so the commands are run interleaved, round by round, and compared as ratios of "
        "medians. Every command ran once to check its output (and, unless it runs without the page cache, to "
        "warm the cache), then the measured rounds each section names. Wall time is from start to exit as seen "
        "by the parent; peak memory is the kernel's maximum resident set size of the process (`ru_maxrss`).")
    tools = sorted({record["tool_sha"] for record in records.values()})
    if len(tools) > 1:
        put("")
        put(f"**The parts below timed different tool binaries** (sha256 {', '.join(tools)}); each section "
            f"names its own.")
    if args.quick:
        put("")
        put("**Quick mode**: the files are far smaller than the targets name; the figures are a smoke run, "
            "not the targets.")
    put("")

    put("## Targets")
    put("")
    put("| Target | Measured | |")
    put("|---|---|---|")
    for row in target_rows(records):
        put("| " + " | ".join(row) + " |")
    put("")

    def usable(part):
        return part in records and (not records[part].get("error") or records[part]["runs"])

    for part, title in (("short", "Short lines against `shuf`"), ("500", "Lines of 400-600 bytes against `shuf`")):
        if not usable(part):
            continue
        record = records[part]
        v = view(record)
        part_heading(put, record, title)
        put(f"Median wall time (min-max) and median peak resident memory of {record['rounds']} measured rounds "
            f"({record['large_rounds']} on files of 500 MB or more); the ratio is of the median wall times. "
            f"CPU / wall is the tool's median CPU time (user and system) over its median wall time: above 1 it "
            f"used more than one core. The allowance is 24 MiB + 9 B/line; \"within\" counts the measured runs "
            f"whose peak is under it.")
        put("")
        put("| File | Size | line_shuffler | shuf | cat | line_shuffler / shuf | CPU / wall | Allowance | Within |")
        put("|---|---|---|---|---|---|---|---|---|")
        for f in v.file_list():
            if not all(v.has(f, name) for name in (TOOL, "shuf", "cat")):
                continue
            cells = [timed(v, f, name) for name in (TOOL, "shuf", "cat")]
            peak, within, total = memory_check(v, f, TOOL)
            put(f"| {f['note']} | {f['size'] / 1e6:,.0f} MB | {' | '.join(cells)} | "
                f"{v.median(f, TOOL, 'wall') / v.median(f, 'shuf', 'wall'):.2f} | "
                f"{v.median(f, TOOL, 'cpu') / v.median(f, TOOL, 'wall'):.2f} | "
                f"{mib(allowance(f['lines']))} | {within}/{total} (largest {mib(peak)}) |")
        put("")
        put("Every output was checked to be a permutation of its input (same count, sum and XOR of line hashes, "
            "`line_digest`).")
        put("")

    if usable("long"):
        record = records["long"]
        v = view(record)
        part_heading(put, record, "Long lines")
        put(f"{record['rounds']} measured rounds.")
        put("")
        put("| File | Command | Wall (min-max) | Peak memory |")
        put("|---|---|---|---|")
        for f in v.file_list():
            for name in (TOOL, "cat", "shuf"):
                if v.has(f, name):
                    low, high = v.spread(f, name, "wall")
                    put(f"| {f['note']} | {name} | {seconds(v.median(f, name, 'wall'))} ({seconds(low)}-{seconds(high)}) | "
                        f"{mib(v.median(f, name, 'rss'))} |")
        put("")

    if usable("nocache"):
        record = records["nocache"]
        v = view(record)
        part_heading(put, record, "Without the page cache")
        put("A file larger than memory is modelled on one that fits: before every run the file's pages are "
            "dropped from the page cache (`page_cache drop`: fsync, then `POSIX_FADV_DONTNEED`), and "
            "`nocache_shim.so` is preloaded into the command, turning every `read`, `pread` and `preadv` of a "
            "regular file into `preadv2` with `RWF_DONTCACHE`, so that what a read brings in is dropped again "
            f"once copied out. The sequential read is `seq_read`: the file from start to end in 1 MiB reads. "
            f"{record['rounds']} measured rounds.")
        put("")
        p = v.extra.get("shim_proof")
        if p:
            put(f"Check of the model on {p['file']}: after the drop {p['before'][0]} of {p['before'][1]} pages "
                f"were cached; after `seq_read` under the shim {p['after_shim'][0]}; after a plain `seq_read` "
                f"{p['after_plain'][0]}.")
            put("")
        put("| File | Command | Wall (min-max) | Per line | Peak memory | Reads through the shim | File left in the cache after a run |")
        put("|---|---|---|---|---|---|---|")
        for f in v.file_list():
            for name in ("line_shuffler, no cache", "seq_read, no cache"):
                if not v.has(f, name):
                    continue
                runs = v.runs(f, name)
                low, high = v.spread(f, name, "wall")
                left = [run["cache_left"] for run in runs]
                put(f"| {f['note']} | {name} | {seconds(v.median(f, name, 'wall'))} ({seconds(low)}-{seconds(high)}) | "
                    f"{v.median(f, name, 'wall') / f['lines'] * 1e6:.2f} us | {mib(v.median(f, name, 'rss'))} | "
                    f"{runs[-1]['shim_reads']:,} reads, {runs[-1]['shim_bytes'] / MIB:,.0f} MiB | "
                    f"{min(left):.0%}-{max(left):.0%} |")
        put("")
        put("The kernel does not drop every page so read: the last column is the share of the file's pages still "
            "cached at the end of each measured run (`page_cache resident`; the drop before the next run clears "
            "them). The model is therefore not one of strictly no cache hits; the time per line, against the "
            "warm runs above, shows how far it is from the cached case.")
        put("")

    if usable("count"):
        record = records["count"]
        v = view(record)
        part_heading(put, record, "Counting")
        put("`count_only` runs the tool's own `open_input_file` and `count_lines` on file.txt and prints the count; "
            f"`wc -l` counts the same file's newlines. Both read a file in the page cache. {record['rounds']} "
            f"measured rounds.")
        put("")
        put("| File | Command | Wall (min-max) | Peak memory |")
        put("|---|---|---|---|")
        for f in v.file_list():
            for name in ("count_only", "wc -l"):
                if v.has(f, name):
                    low, high = v.spread(f, name, "wall")
                    put(f"| {f['note']} | {name} | {seconds(v.median(f, name, 'wall'))} "
                        f"({seconds(low)}-{seconds(high)}) | {mib(v.median(f, name, 'rss'))} |")
        put("")

    if usable("giant"):
        record = records["giant"]
        v = view(record)
        f = v.file_list()[0]
        part_heading(put, record, f"{f['lines']:,} lines")
        if v.has(f, TOOL) and v.has(f, "shuf"):
            put(f"{f['note']}, {f['size'] / 1e9:.2f} GB: one run each, without a warm-up run (the file was read "
                f"just before, for its digest, unless a kept digest was used); both outputs checked to be "
                f"permutations of the input. "
                f"line_shuffler / shuf = {v.median(f, TOOL, 'wall') / v.median(f, 'shuf', 'wall'):.2f}.")
            put("")
        put("| Command | Wall | Peak memory |")
        put("|---|---|---|")
        for name in (TOOL, "shuf"):
            if v.has(f, name):
                put(f"| {name} | {seconds(v.median(f, name, 'wall'))} | {mib(v.median(f, name, 'rss'))} |")
        put(f"| allowance | | {mib(allowance(f['lines']))} |")
        put("")

    if usable("baseline"):
        record = records["baseline"]
        v = view(record)
        sizes = [f for f in v.file_list() if v.has(f, "rewind_baseline") and v.has(f, TOOL)]
        part_heading(put, record, "The rewind baseline")
        base_points = [(f["lines"], v.median(f, "rewind_baseline", "wall")) for f in sizes]
        a, bb, c = quadratic_fit(base_points) if len(base_points) >= 3 else (0, 0, 0)
        estimate = a * 1e12 + bb * 1e6 + c
        put(f"`bench/rewind_baseline.cpp` is the first design: `fgets` into a 1000-byte buffer and a rewind to the "
            f"start of the input for every output line, so its time grows with the square of the line count "
            f"({record['rounds']} measured rounds). A "
            + (f"least-squares fit t = a n^2 + b n + c over {', '.join(f'{n:,}' for n, _ in base_points)} lines "
               f"gives a = {a:.3e} s, so a million lines would take about {estimate:,.0f} s "
               f"({estimate / 3600:.1f} hours)."
               if a > 0 and estimate > 0 else
               "least-squares fit of t = a n^2 + b n + c over these few small sizes gives no positive square term "
               "(start-up time dominates), so no estimate for a million lines is made."))
        put("")
        put("| Lines | rewind_baseline | line_shuffler | Ratio |")
        put("|---|---|---|---|")
        for f in sizes:
            put(f"| {f['lines']:,} | {seconds(v.median(f, 'rewind_baseline', 'wall'))} | "
                f"{seconds(v.median(f, TOOL, 'wall'))} | "
                f"{v.median(f, 'rewind_baseline', 'wall') / v.median(f, TOOL, 'wall'):,.0f}x |")
        put("")

    put("## Plot")
    put("")
    put("![time and peak memory against lines](plot.png)")
    put("")
    return "\n".join(lines) + "\n"


def write_plot(records, out_png, scratch):
    """Time and peak memory against the line count, from every kept part."""
    nan = float("nan")
    series = []  # (data file, columns, gnuplot style, title, panel)

    def table(name, rows):
        path = os.path.join(scratch, f"plot_{name}.dat")
        with open(path, "w") as out:
            for row in sorted(rows):
                out.write(" ".join(str(x) for x in row) + "\n")
        return path

    def med(v, f, name, key, scale=1.0):
        return v.median(f, name, key) / scale if v.has(f, name) else nan

    short_rows = []
    for part in ("short", "giant"):
        if part in records:
            v = view(records[part])
            for f in v.file_list():
                short_rows.append((f["lines"], med(v, f, TOOL, "wall"), med(v, f, "shuf", "wall"),
                                   med(v, f, "cat", "wall"), med(v, f, TOOL, "rss", MIB), med(v, f, "shuf", "rss", MIB)))
    if short_rows:
        dat = table("short", short_rows)
        series += [(dat, "1:2", "linespoints lw 2 pt 7", "line\\_shuffler", 0),
                   (dat, "1:3", "linespoints dt 4 pt 4", "shuf", 0),
                   (dat, "1:4", "linespoints dt 3 pt 6", "cat", 0),
                   (dat, "1:5", "linespoints lw 2 pt 7", "line\\_shuffler", 1),
                   (dat, "1:6", "linespoints dt 4 pt 4", "shuf", 1)]
    if "500" in records:
        v = view(records["500"])
        rows = [(f["lines"], med(v, f, TOOL, "wall"), med(v, f, "shuf", "wall"), med(v, f, TOOL, "rss", MIB),
                 med(v, f, "shuf", "rss", MIB)) for f in v.file_list()]
        dat = table("500", rows)
        series += [(dat, "1:2", "points pt 5 ps 1.5", "line\\_shuffler, 400-600 byte lines", 0),
                   (dat, "1:3", "points pt 4 ps 1.5", "shuf, 400-600 byte lines", 0),
                   (dat, "1:4", "points pt 5 ps 1.5", "line\\_shuffler, 400-600 byte lines", 1),
                   (dat, "1:5", "points pt 4 ps 1.5", "shuf, 400-600 byte lines", 1)]
    if "nocache" in records:
        v = view(records["nocache"])
        rows = [(f["lines"], med(v, f, "line_shuffler, no cache", "wall"), med(v, f, "seq_read, no cache", "wall"),
                 med(v, f, "line_shuffler, no cache", "rss", MIB)) for f in v.file_list()]
        dat = table("cold", rows)
        series += [(dat, "1:2", "points pt 9 ps 1.5", "line\\_shuffler, no page cache", 0),
                   (dat, "1:3", "points pt 8 ps 1.5", "one sequential read, no page cache", 0),
                   (dat, "1:4", "points pt 9 ps 1.5", "line\\_shuffler, no page cache", 1)]
    line_counts = [row[0] for row in short_rows]
    for part in ("500", "nocache"):
        if part in records:
            line_counts += [f["lines"] for f in view(records[part]).file_list()]
    if not series:
        return False
    low = min(line_counts) / 2
    high = max(line_counts) * 2

    def plot_line(panel):
        parts = [f"'{dat}' using {cols} with {style} title '{title}'" for dat, cols, style, title, p in series
                 if p == panel]
        return ", \\\n     ".join(parts)

    script = f"""
set terminal pngcairo size 1200,600 font ",10"
set output '{out_png}'
set multiplot layout 1,2
set title 'Time against line count (31-71 byte lines unless named)'
set logscale xy
set xlabel 'lines'
set ylabel 'median wall time (s)'
set key below
set grid
set xrange [{low}:{high}]
plot {plot_line(0)}
set title 'Peak memory against line count'
set ylabel 'peak resident memory (MiB)'
plot {plot_line(1)}, \\
     [{low}:{high}] 24 + 9 * x / 1048576 with lines dt 2 lw 2 title 'allowance 24 MiB + 9 B/line'
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return True


def parse_parts(text):
    parts = [p.strip() for p in text.split(",") if p.strip()]
    unknown = [p for p in parts if p not in PARTS]
    if unknown or not parts:
        raise argparse.ArgumentTypeError(f"unknown part {', '.join(unknown) or text!r}; the parts are "
                                         f"{', '.join(PARTS)}")
    return parts


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--bin", required=True, help="folder of the built helpers")
    parser.add_argument("--scratch", required=True)
    parser.add_argument("--out", required=True, help="folder for results.md, plot.png and runs.json")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--giant", action="store_true")
    parser.add_argument("--only", type=parse_parts, help="comma-separated parts to run: " + ", ".join(PARTS))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--invocation", default="bench/run.sh", help="the command line, for the report")
    args = parser.parse_args()
    if args.quick:
        args.runs = min(args.runs, 3)
    args.large_runs = min(args.runs, 3)
    args.baseline_runs = min(args.runs, 3)
    parts = args.only or DEFAULT_PARTS + (["giant"] if args.giant else [])
    if args.giant and "giant" not in parts:
        parts.append("giant")
    parts = [p for p in PARTS if p in parts]

    files = file_set(args.quick)
    b = bench(args)
    os.makedirs(args.out, exist_ok=True)
    runs_path = os.path.join(args.out, "runs.json")
    records = load_records(runs_path)
    check_disk(b, parts, files)
    b.log(f"parts: {', '.join(parts)}")
    tool_sha = tool_identity(b.tool)
    tree = tree_state(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    failed = []
    for part in parts:
        b.log(f"part {part}: {PARTS[part]}")
        record = b.begin(part)
        record.update({"invocation": args.invocation, "tool": b.tool, "tool_sha": tool_sha, "tree": tree,
                       "quick": args.quick, "rounds": args.baseline_runs if part == "baseline" else args.runs,
                       "large_rounds": args.large_runs})
        try:
            run_part(b, part, files, args)
        except (RuntimeError, subprocess.CalledProcessError) as error:
            record["error"] = str(error)
            failed.append(part)
            b.log(f"part {part} failed: {error}")
        record["load"].append(os.getloadavg()[0])
        record["minutes"] = (time.time() - record["started"]) / 60
        records[part] = record
        save_records(runs_path, records)

    records = {part: records[part] for part in PARTS if part in records}
    with open(os.path.join(args.out, "results.md"), "w") as out:
        out.write(write_report(records, args, args.out))
    plotted = write_plot(records, os.path.join(args.out, "plot.png"), args.scratch)
    b.log(f"wrote {os.path.join(args.out, 'results.md')}{' and plot.png' if plotted else ''}; "
          f"runs kept in {runs_path}")
    if failed:
        b.log(f"failed parts: {', '.join(failed)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
