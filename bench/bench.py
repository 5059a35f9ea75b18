#!/usr/bin/env python3
"""Times line_shuffler side by side with GNU shuf, uutils shuf, cat (alone and
followed by an fdatasync of its output) and wc -l on deterministic files, in
the page cache and on files larger than a memory cgroup's limit, checks every
output, and writes results.md and plot.png.

The benchmark is made of parts (see PARTS) that can run alone (--only); the
runs of every part are kept in runs.json next to results.md, so that a part
run alone replaces its own section and leaves the others as they were.

Run it through bench/run.sh, which checks the tools it needs and builds the
tool and the helpers first.
"""
import argparse
import ast
import hashlib
import json
import os
import platform
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import time

MIB = 1024 * 1024
GIB = 1024 * MIB

TOOL = "line_shuffler"
# The peers: GNU coreutils' shuf is "shuf" (the name the kept runs have
# always used), uutils' (Debian's rust-coreutils) is UUTILS, and the copy
# floors are "cat" and SYNCED_CAT, the same copy followed by an fdatasync of
# its output: the tool flushes its output to the disk before it names it,
# and plain cat leaves the writing to the kernel after it exits.
UUTILS = "uutils shuf"
SYNCED_CAT = "cat+fdatasync"
SHOWN = {"shuf": "GNU shuf", UUTILS: UUTILS, "cat": "cat", SYNCED_CAT: SYNCED_CAT}

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The memory promise: peak resident memory at most a base plus so many bytes
# a line, whatever the line lengths. The tool's own header holds the two
# figures; they are read from there, so that there is one copy of them.
PROMISE_HEADER = os.path.join(REPO, "src", "run_state.h")


def header_constant(text, name):
    """The value of `inline constexpr ... NAME = EXPR;`, where EXPR is made
    of integers (std::uint64_t{N}, digit separators and suffixes allowed),
    +, * and <<."""
    match = re.search(rf"\bconstexpr\b[^;=]*\b{name}\s*=\s*([^;]+);", text)
    if not match:
        raise SystemExit(f"bench: no {name} in {PROMISE_HEADER}")
    expression = re.sub(r"std::u?int\d+_t\s*\{([^}]*)\}", r"(\1)", match.group(1))
    expression = re.sub(r"(?<=\d)'(?=\d)", "", expression)
    expression = re.sub(r"(?<=\d)[uUlL]+\b", "", expression)
    operators = {ast.Add: lambda a, b: a + b, ast.Mult: lambda a, b: a * b, ast.LShift: lambda a, b: a << b}

    def value(node):
        if isinstance(node, ast.Constant) and type(node.value) is int:
            return node.value
        if isinstance(node, ast.BinOp) and type(node.op) in operators:
            return operators[type(node.op)](value(node.left), value(node.right))
        raise ValueError(ast.dump(node))

    try:
        return value(ast.parse(expression.strip(), mode="eval").body)
    except (SyntaxError, ValueError):
        raise SystemExit(f"bench: cannot read {name} = {match.group(1).strip()} in {PROMISE_HEADER}") from None


def read_promise():
    try:
        text = open(PROMISE_HEADER).read()
    except OSError as error:
        raise SystemExit(f"bench: cannot read the memory promise from {PROMISE_HEADER}: {error.strerror}")
    return header_constant(text, "PROMISED_BASE_BYTES"), header_constant(text, "PROMISED_BYTES_PER_LINE")


ALLOWANCE_BASE, ALLOWANCE_PER_LINE = read_promise()


def promise_text():
    """The allowance in words, for the report: "N MiB + M B/line"."""
    base = (f"{ALLOWANCE_BASE // MIB} MiB" if ALLOWANCE_BASE % MIB == 0 else f"{ALLOWANCE_BASE:,} B")
    return f"{base} + {ALLOWANCE_PER_LINE} B/line"


# The parts in the order they run and are reported, and what each measures.
PARTS = {
    "short": "short lines (31-71 bytes) against GNU and uutils shuf and cat, and on one core, in the page cache",
    "500": "lines of 400-600 bytes against GNU and uutils shuf and cat, and on one core, in the page cache",
    "long": "20,000 lines of 10 KB against cat and GNU and uutils shuf, and on one core",
    "count": "counting alone against wc -l",
    "cgroup": "files larger than memory: the tool in a memory cgroup against a copy and one sequential read",
    "baseline": "the rewind baseline (the first design)",
    "giant": "100,000,000 lines against GNU and uutils shuf, one run each",
}
DEFAULT_PARTS = [p for p in PARTS if p != "giant"]

# Files of at least this many bytes get fewer measured rounds.
LARGE_FILE = 500 * 1000 * 1000

RUNS_FILE_VERSION = 1

# The time targets, on the 10M-line file and the ~500-byte one in the page
# cache, with both cores of an idle machine: at most this fraction of uutils
# shuf's median time, and at most these many times the copy into a new file
# (`cat file.txt > cat_out.txt`), on the same file.
TARGET_UUTILS = 0.35
TARGET_CAT = {"short": 4, "500": 2.5}
BOTH_CORES_LINES = 10000000
# And the tool's CPU time over its wall time on those two files at least
# this: both cores working for most of the run.
TARGET_CORES = 1.8

# Files larger than memory: the tool at most this many times a copy of the
# same file (cat into a new file) in the same cgroup.
TARGET_CGROUP = 2.5
# shuf, tried once there, is stopped after 10 times the tool's time, at
# least 10 s and at most this.
SHUF_CAP = 300
SHUF_CAP_QUICK = 30

# The windowed writer on 20,000 lines of 10 KB, from bench/results.md at
# 14a0cda: the long lines must be no slower than that. With --before, an
# earlier build is timed side by side instead.
BEFORE_LONG = {"commit": "14a0cda", "tool": 0.3623, "cat": 0.1573}
BEFORE = "line_shuffler (before)"
# On one core (`taskset -c 0`) the tool must be no slower than the earlier
# build on every file: the work split over two threads may not cost a
# machine with one core anything.
ONE_CORE = "line_shuffler, one core"
BEFORE_ONE_CORE = "line_shuffler (before), one core"


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


def cgroup_files(gigabytes):
    """A file of each line shape of about this many gigabytes."""
    return [short_lines(int(round(gigabytes * 20000000))), lines_500(int(round(gigabytes * 2000000)))]


def file_set(quick, cgroup_gb):
    """The files of every part: the sizes the targets name, or small ones
    for a smoke run."""
    if quick:
        files = {
            "short": [short_lines(n) for n in (100000, 300000, 1000000)],
            "500": [lines_500(100000)],
            "long": [fixed_lines(2000, 10000)],
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
            "baseline": [short_lines(n) for n in (1000, 2000, 5000, 10000)],
        }
        files["count"] = [files["short"][1]]
    files["cgroup"] = cgroup_files(cgroup_gb)
    files["giant"] = [short_lines(100000000)]
    return files


# How many copies of its file a part's outputs take on the disk at once
# (every output is removed once it has served).
OUTPUT_COPIES = {"short": 1, "500": 1, "long": 1, "count": 0, "cgroup": 1, "baseline": 1, "giant": 1}


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


class memory_cgroup:
    """Runs a command in a memory cgroup of its own, with a limit that
    counts the page cache the command brings in as well as its own memory:
    each measured command gets a new child cgroup, removed after it exits.

    The child goes under the cgroup the benchmark itself runs in (the
    hierarchy's root on a plain machine), so that whatever limits hold for
    the benchmark hold for its commands too; under cgroup v2 a cgroup that
    holds processes cannot give its children the memory controller, and the
    child goes under the root instead."""

    NAME = "line_shuffler_bench"

    def __init__(self, version, parent, limit):
        self.version = version
        self.parent = parent
        self.limit = limit
        self.path = os.path.join(parent, self.NAME)

    @staticmethod
    def own_path(v2):
        """The benchmark's own cgroup, from /proc/self/cgroup."""
        for line in open("/proc/self/cgroup"):
            number, controllers, path = line.rstrip("\n").split(":", 2)
            if (v2 and number == "0") or (not v2 and "memory" in controllers.split(",")):
                return path.lstrip("/")
        return ""

    @classmethod
    def find(cls, limit, parent=None):
        """The cgroup to run in, or None and why not."""
        if os.geteuid() != 0:
            return None, "it needs root, to create a memory cgroup"
        if os.path.exists("/sys/fs/cgroup/cgroup.controllers"):
            version, root = 2, "/sys/fs/cgroup"
        else:
            root = None
            for line in open("/proc/mounts"):
                fields = line.split()
                if len(fields) > 3 and fields[2] == "cgroup" and "memory" in fields[3].split(","):
                    root = fields[1]
                    break
            if root is None:
                return None, "no memory cgroup is mounted (neither cgroup v2 nor a v1 memory hierarchy)"
            version = 1
        candidates = [parent] if parent else [os.path.join(root, cls.own_path(version == 2)), root]
        reasons = []
        for candidate in dict.fromkeys(os.path.normpath(c) for c in candidates):
            group = cls(version, candidate, limit)
            why = group.usable()
            if why is None:
                return group, None
            reasons.append(f"{candidate}: {why}")
        return None, "; ".join(reasons)

    def usable(self):
        """None if a child can be made here with a memory limit, else why."""
        if not os.path.isdir(self.parent):
            return "no such cgroup"
        try:
            return self.try_child()
        except OSError as error:
            return f"cannot create a child with a memory limit ({error.strerror or error})"

    def try_child(self):
        if self.version == 2:
            if "memory" not in open(os.path.join(self.parent, "cgroup.controllers")).read().split():
                return "the memory controller is not available there"
            control = os.path.join(self.parent, "cgroup.subtree_control")
            if "memory" not in open(control).read().split():
                try:
                    with open(control, "w") as out:
                        out.write("+memory")
                except OSError as error:
                    return f"cannot give its children the memory controller ({error.strerror})"
        self.create()
        self.remove()
        return None

    def write(self, name, value, required=True):
        try:
            with open(os.path.join(self.path, name), "w") as out:
                out.write(str(value))
        except OSError:
            if required:
                raise

    def read(self, name):
        try:
            return open(os.path.join(self.path, name)).read()
        except OSError:
            return None

    def create(self):
        if os.path.isdir(self.path):
            self.remove()  # left by a run that was stopped
        # Where the machine has swap, the command may not use it either. (A
        # v1 memsw limit also takes over the limit hits from failcnt, so it
        # is set only where needed.)
        swap = re.search(r"SwapTotal:\s*(\d+)", open("/proc/meminfo").read())
        has_swap = swap is not None and int(swap.group(1)) > 0
        os.mkdir(self.path)
        try:
            if self.version == 1:
                self.write("memory.limit_in_bytes", self.limit)
                if has_swap:
                    self.write("memory.memsw.limit_in_bytes", self.limit, required=False)
            else:
                self.write("memory.max", self.limit)
                if has_swap:
                    self.write("memory.swap.max", 0, required=False)
        except OSError:
            os.rmdir(self.path)  # a cgroup without its limit is of no use
            raise

    def stats(self):
        """Peak usage (page cache included), and how often the limit was
        hit and the OOM killer ran."""
        def field(text, key):
            match = re.search(rf"^{key} (\d+)$", text or "", re.M)
            return int(match.group(1)) if match else 0
        if self.version == 1:
            peak = self.read("memory.max_usage_in_bytes")
            hits = max(int(self.read(name) or 0) for name in ("memory.failcnt", "memory.memsw.failcnt"))
            return {"cg_peak": int(peak) if peak else None, "cg_limit_hits": hits,
                    "cg_oom_kills": field(self.read("memory.oom_control"), "oom_kill")}
        peak = self.read("memory.peak")
        events = self.read("memory.events")
        return {"cg_peak": int(peak) if peak else None, "cg_limit_hits": field(events, "max"),
                "cg_oom_kills": field(events, "oom_kill")}

    def remove(self):
        # The cgroup is empty once its last process has exited; the kernel
        # may take a moment to notice.
        for attempt in range(50):
            try:
                os.rmdir(self.path)
                return
            except FileNotFoundError:
                return
            except OSError:
                if attempt == 49:
                    raise
                time.sleep(0.1)

    def prefix(self):
        """Moves the shell into the cgroup, then execs the command."""
        return ["sh", "-c", 'echo $$ > "$0/cgroup.procs" && exec "$@"', self.path]

    def describe(self):
        return (f"cgroup v{self.version}, `{self.path}`, limit {self.limit / MIB:,.0f} MiB "
                f"(`{'memory.limit_in_bytes' if self.version == 1 else 'memory.max'}`)")


class command:
    """One thing to time. `output` is the file whose line digest must equal
    the input's; `check` gets the folder and returns an error text or None;
    `cgroup` runs it in its own memory cgroup, after dropping the input's and
    the output's pages from the page cache."""

    def __init__(self, argv, stdout=None, output=None, check=None, cgroup=False):
        self.argv = argv
        self.stdout = stdout
        self.output = output
        self.check = check
        self.cgroup = cgroup


class bench:
    def __init__(self, args):
        self.args = args
        self.bin = os.path.abspath(args.bin)
        self.tool = os.path.abspath(args.tool)
        self.measure_bin = os.path.join(self.bin, "measure")
        self.data = os.path.join(args.scratch, "data")
        self.work = os.path.join(args.scratch, "work")
        os.makedirs(self.data, exist_ok=True)
        os.makedirs(self.work, exist_ok=True)
        self.record = None
        self.cgroup = None
        self.cgroup_missing = None
        self.uutils = shlex.split(args.uutils_shuf) if args.uutils_shuf else []

    def shufs(self):
        """The shuf commands to time: GNU's, and uutils' where it was found."""
        return ["shuf"] + ([UUTILS] if self.uutils else [])

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

        size = os.path.getsize(self.path_of(f))
        before = os.path.abspath(self.args.before or "/nonexistent")
        synced_copy = ["sh", "-c", "cat file.txt > cat_out.txt && exec sync -d cat_out.txt"]
        every = {
            TOOL: command([self.tool], output="shuffled_file.txt"),
            BEFORE: command([before], output="shuffled_file.txt"),
            # Both builds held to the first core, as on a machine with one.
            ONE_CORE: command(["taskset", "-c", "0", self.tool], output="shuffled_file.txt"),
            BEFORE_ONE_CORE: command(["taskset", "-c", "0", before], output="shuffled_file.txt"),
            "shuf": command(["shuf", "-o", "shuf_out.txt", "file.txt"], output="shuf_out.txt"),
            UUTILS: command(self.uutils + ["-o", "uutils_shuf_out.txt", "file.txt"], output="uutils_shuf_out.txt"),
            # The copy floor, `cat file.txt > cat_out.txt` into a new file:
            # run_one removes the earlier output before the timed span.
            "cat": command(["cat", "file.txt"], stdout="cat_out.txt", output="cat_out.txt"),
            # The copy that waits for the disk: the same copy, then
            # coreutils' `sync -d`, which opens cat_out.txt and fdatasyncs
            # it. The shell and sync cost a few milliseconds beside cat.
            SYNCED_CAT: command(synced_copy, output="cat_out.txt"),
            "rewind_baseline": command([self.helper("rewind_baseline")], output="shuffled_file.txt"),
            "count_only": command([self.helper("count_only")], stdout="count.txt", check=printed("count.txt", f.lines)),
            # wc counts newlines; the files have none after their last line.
            "wc -l": command(["wc", "-l", "file.txt"], stdout="wc.txt",
                             check=printed("wc.txt", f"{f.lines - 1} file.txt")),
            "line_shuffler, cgroup": command([self.tool], output="shuffled_file.txt", cgroup=True),
            "seq_read, cgroup": command([self.helper("seq_read"), "file.txt"], stdout="seq.txt",
                                        check=printed("seq.txt", size), cgroup=True),
            # The copy in the same cgroup, into a new file like the cached
            # parts' cat: run_one removes the earlier output and drops the
            # input's pages before the timed span.
            "cat, cgroup": command(["cat", "file.txt"], stdout="cat_out.txt", output="cat_out.txt", cgroup=True),
            f"{SYNCED_CAT}, cgroup": command(synced_copy, output="cat_out.txt", cgroup=True),
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

    @staticmethod
    def clear(folder, c):
        """Removes what an earlier run of the command wrote. Every timed run
        then writes a new file, as `cat file.txt > out` does into a folder
        without `out`: emptying a full earlier output inside the timed span
        costs ext4 the freeing of its blocks, and a file cut to nothing and
        written again is flushed to the disk when it is closed."""
        for written in (c.output, c.stdout):
            if written and os.path.lexists(os.path.join(folder, written)):
                os.remove(os.path.join(folder, written))

    def run_one(self, f, name, c, folder, may_fail=False):
        group = self.cgroup if c.cgroup else None
        self.clear(folder, c)
        if group:
            # Nothing of the input may be cached: pages cached before belong
            # to another cgroup and would be read for free.
            self.cached_pages(os.path.join(folder, "file.txt"), drop=True)
            group.create()
        try:
            measured = run_measured(self.measure_bin, c.argv, folder,
                                    os.path.join(folder, c.stdout) if c.stdout else None,
                                    prefix=group.prefix() if group else ())
            if group:
                measured.update(group.stats())
        finally:
            if group:
                group.remove()
        if measured["status"] != 0 and not may_fail:
            why = (f" (the OOM killer ran {measured['cg_oom_kills']} time(s) in the {group.limit / MIB:,.0f} MiB "
                   f"cgroup)" if group and measured.get("cg_oom_kills") else "")
            raise RuntimeError(f"{c.argv} on {f.name} failed with status {measured['status']}{why}: "
                               f"{measured['stderr']}")
        if group:
            resident, pages = self.cached_pages(os.path.join(folder, "file.txt"))
            measured["cache_left"] = resident / max(1, pages)
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
        # Each output is removed as soon as it has served, so that no
        # command's writing is still going to the disk during the next
        # command's run.
        for name, c in commands.items():
            # Warm-up run: fills the page cache and proves the output right.
            self.run_one(f, name, c, folder)
            self.check_output(f, name, c, folder)
            self.clear(folder, c)
        for _ in range(runs):
            for name, c in commands.items():
                self.add_run(f, name, self.run_one(f, name, c, folder))
                self.clear(folder, c)
        summary = ", ".join(f"{n} {self.current(f, n, 'wall'):.3f} s" for n in commands)
        self.log(f"{f.name}: {summary}")

    def check_cgroup(self, f):
        """Shows that the page cache a command brings in counts against its
        cgroup's limit: one sequential read of a file larger than the limit
        must take the cgroup's usage up to the limit, and leave at most the
        limit's worth of the file cached."""
        group = self.cgroup
        path = self.make(f)
        folder = self.workdir(f)
        size = os.path.getsize(path)
        run = self.run_one(f, "seq_read, cgroup", self.commands(f, ["seq_read, cgroup"])["seq_read, cgroup"], folder)
        resident = run["cache_left"] * size
        self.record["extra"]["check"] = {"file": f.note, "size": size, "peak": run["cg_peak"],
                                         "limit_hits": run["cg_limit_hits"], "resident": resident}
        self.log(f"seq_read of {f.name} ({size / 1e6:,.0f} MB) in the cgroup: usage peaked at "
                 f"{mib(run['cg_peak'] or 0)} of {mib(group.limit)}, {mib(resident)} of the file cached after it")
        if size <= group.limit:
            raise RuntimeError(f"{f.name} ({size / 1e6:,.0f} MB) is not larger than the cgroup's limit")
        if run["cg_peak"] is not None and run["cg_peak"] < 0.9 * group.limit:
            raise RuntimeError(f"the page cache does not count against the cgroup: a read of {size / 1e6:,.0f} MB "
                               f"took its usage only to {mib(run['cg_peak'])} of {mib(group.limit)}")
        if resident > group.limit:
            raise RuntimeError(f"{mib(resident)} of the file stayed cached after a read in a cgroup of "
                               f"{mib(group.limit)}")

    def larger_than_memory(self, f, runs):
        """The tool, one sequential read and a copy, interleaved, each in
        its own cgroup and starting with nothing of the file cached; then
        shuf once, with a time limit."""
        limit = self.cgroup.limit
        if allowance(f.lines) > limit - 32 * MIB:
            self.log(f"warning: the tool's allowance on {f.name}, {mib(allowance(f.lines))}, leaves little of the "
                     f"{mib(limit)} cgroup for the page cache")
        self.make(f)
        self.add_file(f)
        folder = self.workdir(f)
        commands = self.commands(f, ["line_shuffler, cgroup", "seq_read, cgroup", "cat, cgroup",
                                     f"{SYNCED_CAT}, cgroup"])
        for round_number in range(runs):
            for name, c in commands.items():
                self.add_run(f, name, self.run_one(f, name, c, folder))
                if round_number == 0:
                    # No warm-up run (there is nothing to warm): the first
                    # measured run's output is checked instead.
                    self.check_output(f, name, c, folder)
                self.clear(folder, c)
            self.log(f"{f.name}: round {round_number + 1} of {runs}: " + ", ".join(
                f"{name} {self.record['runs'][f'{f.name}|{name}'][-1]['wall']:.2f} s" for name in commands))
        time_limit = min(SHUF_CAP_QUICK if self.args.quick else SHUF_CAP,
                         max(10, 10 * self.current(f, "line_shuffler, cgroup", "wall")))
        c = command(["timeout", "-k", "5", f"{time_limit:.0f}", "shuf", "-o", "shuf_out.txt", "file.txt"],
                    output="shuf_out.txt", cgroup=True)
        run = self.run_one(f, "shuf, cgroup", c, folder, may_fail=True)
        run["time_limit"] = time_limit
        if run["cg_oom_kills"] or run["status"] == 128 + 9:
            run["outcome"] = "killed by the OOM killer"
        elif run["status"] in (124, 128 + 9):
            run["outcome"] = f"stopped at the time limit ({time_limit:.0f} s)"
        elif run["status"] == 0:
            self.check_output(f, "shuf, cgroup", c, folder)
            run["outcome"] = "finished, output checked"
        else:
            run["outcome"] = f"failed with status {run['status']}"
        self.add_run(f, "shuf, cgroup", run)
        self.clear(folder, c)
        self.log(f"{f.name}: line_shuffler {self.current(f, 'line_shuffler, cgroup', 'wall'):.2f} s, seq_read "
                 f"{self.current(f, 'seq_read, cgroup', 'wall'):.2f} s, cat "
                 f"{self.current(f, 'cat, cgroup', 'wall'):.2f} s, {SYNCED_CAT} "
                 f"{self.current(f, f'{SYNCED_CAT}, cgroup', 'wall'):.2f} s (medians); shuf {run['outcome']} after "
                 f"{run['wall']:.1f} s")

    def giant(self, f):
        """One run each of the tool and the shufs on the giant file."""
        available = re.search(r"MemAvailable:\s*(\d+) kB", open("/proc/meminfo").read())
        if available and int(available.group(1)) * 1024 < 70 * f.lines:
            self.log(f"warning: shuf holds the whole file and about 64 B a line; "
                     f"{int(available.group(1)) / MIB:.1f} GiB of memory are available")
        self.make(f)
        self.add_file(f)
        folder = self.workdir(f)
        self.input_digest(f)
        # No warm-up run of either command, but the file is read once so
        # that both find it in the page cache, as in the other parts.
        subprocess.run([self.helper("seq_read"), self.path_of(f)], check=True, stdout=subprocess.DEVNULL)
        for name in [TOOL] + self.shufs():
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
    # The tool on one core, and the earlier build on one core where given,
    # are timed in the same rounds as the others on every cached file.
    one_core = [ONE_CORE] + ([BEFORE_ONE_CORE] if args.before else [])
    if part in ("short", "500"):
        for f in files[part]:
            b.measure(f, [TOOL] + b.shufs() + ["cat", SYNCED_CAT] + one_core, rounds_for(args, f))
    elif part == "long":
        b.measure(files["long"][0],
                  [TOOL, "cat", SYNCED_CAT] + b.shufs() + ([BEFORE] if args.before else []) + one_core, args.runs)
    elif part == "count":
        b.measure(files["count"][0], ["count_only", "wc -l"], args.runs)
    elif part == "cgroup":
        if b.cgroup is None:
            b.record["skipped"] = b.cgroup_missing
            b.log(f"part cgroup skipped: {b.cgroup_missing}")
            return
        b.record["cgroup"] = b.cgroup.describe()
        b.record["cgroup_limit"] = b.cgroup.limit
        b.check_cgroup(files["cgroup"][0])
        for f in files["cgroup"]:
            b.larger_than_memory(f, args.large_runs)
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
    if record["part"] in ("short", "500", "long", "giant"):
        put("")
        put(f"uutils shuf: `{record['uutils_command']}` ({record['uutils']})." if record.get("uutils") else
            "uutils shuf was not timed: not found (`apt-get install rust-coreutils`).")
    if not record.get("outputs_removed"):
        put("")
        put("**Measured the old way:** each command's output of the run before was still there and was emptied "
            "inside the timed span (for `cat`, by the launcher), which costs ext4 the freeing of the old blocks "
            "and, for a file cut to nothing and written again, a flush at close; these figures are not "
            "comparable with a copy into a new file.")
    if record.get("error"):
        put("")
        put(f"**This part failed:** {record['error']}")
    put("")


def target_rows(records):
    """The targets table: one row per target, from whichever parts ran."""
    rows = []

    def missing(part, what):
        rows.append((what, f"not measured (`--only {part}`)", ""))

    def time_of(v, f, name):
        return seconds(v.median(f, name, "wall"))

    def against(v, f, name, target, what, more=""):
        """A row for the tool's median time at most `target` times the
        command's on the same file."""
        if not v.has(f, name):
            rows.append((what, f"not measured: {SHOWN.get(name, name)} was not timed" + (
                " (`apt-get install rust-coreutils`)" if name == UUTILS else ""), ""))
            return
        ratio = v.median(f, TOOL, "wall") / v.median(f, name, "wall")
        rows.append((what, f"{ratio:.2f}x ({time_of(v, f, TOOL)} vs {time_of(v, f, name)})" + more,
                     verdict(ratio <= target)))

    def and_synced(v, f, tool=TOOL, synced=SYNCED_CAT):
        """The tool's ratio to the copy that waits for the disk, to go
        beside its ratio to the plain copy; nothing where the part last ran
        without it."""
        if not v.has(f, synced):
            return ""
        return (f"; {v.median(f, tool, 'wall') / v.median(f, synced, 'wall'):.2f}x `{SYNCED_CAT}` "
                f"({time_of(v, f, synced)})")

    def within_allowance(v, f, name=TOOL, what=""):
        peak, within, total = memory_check(v, f, name)
        rows.append((f"{f['note']}{what}: peak memory at most {promise_text()} = {mib(allowance(f['lines']))}",
                     f"largest of {total} runs {mib(peak)}; {within} of {total} within", verdict(within == total)))

    def one_core(part, v, f):
        """The tool on one core against the earlier build on one core, or,
        without one, its one-core time beside its time on both."""
        what = f"{f['note']}, one core (`taskset -c 0`): no slower than the earlier build"
        if not v.has(f, ONE_CORE):
            rows.append((what, f"not measured: this part last ran without the one-core runs (`--only {part}`)", ""))
        elif v.has(f, BEFORE_ONE_CORE):
            ratio = v.median(f, ONE_CORE, "wall") / v.median(f, BEFORE_ONE_CORE, "wall")
            rows.append((f"{what} (`--before` build, sha256 {records[part]['before_sha']}, timed alongside)",
                         f"{ratio:.2f}x the earlier build ({time_of(v, f, ONE_CORE)} vs "
                         f"{time_of(v, f, BEFORE_ONE_CORE)})", verdict(ratio <= 1)))
        else:
            ratio = v.median(f, ONE_CORE, "wall") / v.median(f, TOOL, "wall")
            rows.append((what, f"{time_of(v, f, ONE_CORE)}, {ratio:.2f}x its time on both cores "
                         f"({time_of(v, f, TOOL)}); no earlier build timed", "time the earlier build with `--before`"))

    cached = [p for p in ("short", "500") if p in records and not records[p].get("error")]
    for part in ("short", "500"):
        if part not in cached:
            missing(part, PARTS[part])
    # Both cores of an idle machine: the 10M-line file (the largest the
    # quick run has) and the ~500-byte one, against uutils shuf and the copy
    # from the same runs, and how much of both cores the tool kept busy.
    for part in cached:
        v = view(records[part])
        files = v.file_list()
        if part == "short":
            files = [f for f in files if f["lines"] == BOTH_CORES_LINES] or [max(files, key=lambda f: f["lines"])]
        record = records[part]
        load = f"; load average {record['load'][0]:.2f}-{record['load'][-1]:.2f}"
        for f in files:
            lead = f"{f['note']}, both cores of an idle machine: time at most"
            against(v, f, UUTILS, TARGET_UUTILS, f"{lead} {TARGET_UUTILS}x uutils `shuf`'s", load)
            against(v, f, "cat", TARGET_CAT[part], f"{lead} {TARGET_CAT[part]}x `cat > out`'s (a new file)",
                    and_synced(v, f) + load)
            cores = v.median(f, TOOL, "cpu") / v.median(f, TOOL, "wall")
            rows.append((f"{f['note']}, both cores of an idle machine: CPU time at least {TARGET_CORES}x wall time",
                         f"{cores:.2f} ({seconds(v.median(f, TOOL, 'cpu'))} CPU over {time_of(v, f, TOOL)})" + load,
                         verdict(cores >= TARGET_CORES)))
    for part in cached:
        v = view(records[part])
        for f in v.file_list():
            one_core(part, v, f)
    for part in cached:
        v = view(records[part])
        for f in v.file_list():
            within_allowance(v, f)
    if "long" in records and not records["long"].get("error"):
        v = view(records["long"])
        f = v.file_list()[0]
        within_allowance(v, f)
        ratio = v.median(f, TOOL, "wall") / v.median(f, "cat", "wall")
        if v.has(f, BEFORE):
            against = v.median(f, TOOL, "wall") / v.median(f, BEFORE, "wall")
            rows.append((f"{f['note']}: no slower than before (`--before` build, sha256 "
                         f"{records['long']['before_sha']}, timed alongside)",
                         f"{against:.2f}x the earlier build ({seconds(v.median(f, TOOL, 'wall'))} vs "
                         f"{seconds(v.median(f, BEFORE, 'wall'))}); {ratio:.2f}x `cat`" + and_synced(v, f),
                         verdict(against <= 1)))
        else:
            before = BEFORE_LONG["tool"] / BEFORE_LONG["cat"]
            rows.append((f"{f['note']}: no slower than the windowed writer ({before:.2f}x `cat`, "
                         f"{seconds(BEFORE_LONG['tool'])}, in `results.md` at {BEFORE_LONG['commit']})",
                         f"{ratio:.2f}x `cat` ({seconds(v.median(f, TOOL, 'wall'))} vs "
                         f"{seconds(v.median(f, 'cat', 'wall'))})" + and_synced(v, f),
                         # The recorded ratio was measured with each earlier
                         # output emptied inside the timed span.
                         "not comparable: recorded before outputs were removed between runs; time the earlier "
                         "build with `--before`" if records["long"].get("outputs_removed") else
                         verdict(ratio <= before)))
        one_core("long", v, f)
    else:
        missing("long", "Long lines")
    if "cgroup" in records and records["cgroup"].get("skipped"):
        rows.append((PARTS["cgroup"], f"skipped: {records['cgroup']['skipped']}", ""))
    elif "cgroup" in records and not records["cgroup"].get("error"):
        record = records["cgroup"]
        v = view(record)
        for f in v.file_list():
            tool, seq, copy = "line_shuffler, cgroup", "seq_read, cgroup", "cat, cgroup"
            what = (f"{f['note']} ({f['size'] / 1e9:.2f} GB) in a {record['cgroup_limit'] / MIB:,.0f} MiB cgroup: "
                    f"at most {TARGET_CGROUP}x a copy (`cat > out`, a new file) there")
            to_seq = (f"{v.median(f, tool, 'wall') / v.median(f, seq, 'wall'):.1f}x one sequential read "
                      f"({seconds(v.median(f, seq, 'wall'))})")
            if not v.has(f, copy):
                rows.append((what, f"not measured: the part last ran without the copy (`--only cgroup`); {to_seq}", ""))
                continue
            ratio = v.median(f, tool, "wall") / v.median(f, copy, "wall")
            rows.append((what, f"{ratio:.2f}x ({seconds(v.median(f, tool, 'wall'))} vs "
                         f"{seconds(v.median(f, copy, 'wall'))})" + and_synced(v, f, tool, f"{SYNCED_CAT}, cgroup")
                         + f"; {to_seq}", verdict(ratio <= TARGET_CGROUP)))
        for f in v.file_list():
            within_allowance(v, f, "line_shuffler, cgroup", f" in the {record['cgroup_limit'] / MIB:,.0f} MiB cgroup")
    else:
        missing("cgroup", "Files larger than memory")
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
        rows.append((f"{f['lines']:,} lines: time and peak memory against GNU `shuf` (one run each)",
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
        "medians. In the page cache, every command ran once to check its output and warm the cache, then the "
        "measured rounds each section names; the cgroup part has no warm-up run. Wall time is from start to exit as seen "
        "by the parent; peak memory is the kernel's maximum resident set size of the process (`ru_maxrss`).")
    put("The peers are GNU coreutils' `shuf` (`shuf -o shuf_out.txt file.txt`) and, where it is installed, "
        "uutils' (Debian's rust-coreutils, with the same arguments); the copy floors are "
        "`cat file.txt > cat_out.txt` and the copy that waits for the disk, `cat+fdatasync`: "
        "`sh -c 'cat file.txt > cat_out.txt && exec sync -d cat_out.txt'` (coreutils' `sync -d` is an "
        "`fdatasync` of that file), timed as one command. The tool flushes its output to the disk before it "
        "names it and plain `cat` does not, so the second is the fair floor; the tool's ratio to it is given "
        "beside its ratio to `cat`, without a target of its own. Every command writes a new file: its output of "
        "the run before is removed before the timed span, the tool's `shuffled_file.txt` included, so that no "
        "run pays for emptying an earlier output (ext4 frees the old blocks, and flushes a file cut to nothing "
        "and written again when it is closed), and each output is removed once it has served, so that its "
        "writing does not go on during the next command's run. The time targets are against uutils `shuf` and "
        "the copy into a new file, on both cores of an idle machine in the page cache and in the same memory "
        "cgroup for files larger than memory, and, on one core (`taskset -c 0`), against the earlier build "
        "given with `--before`; GNU `shuf` is timed alongside for comparison and has no target.")
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
        return part in records and not records[part].get("skipped") and (
            not records[part].get("error") or records[part]["runs"])

    def ratio(v, f, name):
        """line_shuffler's median wall time over the command's, or - where
        the command was not timed."""
        if not (v.has(f, TOOL) and v.has(f, name)):
            return "-"
        return f"{v.median(f, TOOL, 'wall') / v.median(f, name, 'wall'):.2f}"

    peers = ["shuf", UUTILS, "cat", SYNCED_CAT]
    for part, title in (("short", "Short lines against GNU and uutils `shuf`"),
                        ("500", "Lines of 400-600 bytes against GNU and uutils `shuf`")):
        if not usable(part):
            continue
        record = records[part]
        v = view(record)
        part_heading(put, record, title)
        put(f"Median wall time (min-max) and median peak resident memory of {record['rounds']} measured rounds "
            f"({record['large_rounds']} on files of 500 MB or more); the ratios are of the median wall times, "
            f"line_shuffler's over each other command's. "
            f"CPU / wall is the tool's median CPU time (user and system) over its median wall time: above 1 it "
            f"used more than one core. One core is the tool under `taskset -c 0`, in the same rounds; "
            f"\"/ both cores\" is its median over the tool's own on both"
            + (f", and the earlier build `{record['before']}` (sha256 {record['before_sha']}, `--before`) ran "
               f"the same way" if record.get("before") else "")
            + f". The allowance is {promise_text()}; \"within\" counts the measured runs whose peak is under it.")
        put("")
        before = any(v.has(f, BEFORE_ONE_CORE) for f in v.file_list())
        put(f"| File | Size | line_shuffler | GNU shuf | uutils shuf | cat | {SYNCED_CAT} | line_shuffler / GNU shuf | "
            f"/ uutils shuf | / cat | / {SYNCED_CAT} | CPU / wall | One core | / both cores | "
            + ("Earlier build, one core | one core / earlier build's | " if before else "") + "Allowance | Within |")
        put("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|" + ("---|---|" if before else ""))
        for f in v.file_list():
            if not all(v.has(f, name) for name in (TOOL, "shuf", "cat")):
                continue
            cells = [timed(v, f, name) if v.has(f, name) else "-" for name in [TOOL] + peers]
            cells += [f"{v.median(f, TOOL, 'cpu') / v.median(f, TOOL, 'wall'):.2f}"]
            cells += ([timed(v, f, ONE_CORE), f"{v.median(f, ONE_CORE, 'wall') / v.median(f, TOOL, 'wall'):.2f}"]
                      if v.has(f, ONE_CORE) else ["-", "-"])
            if before:
                cells += ([timed(v, f, BEFORE_ONE_CORE),
                           f"{v.median(f, ONE_CORE, 'wall') / v.median(f, BEFORE_ONE_CORE, 'wall'):.2f}"]
                          if v.has(f, BEFORE_ONE_CORE) else ["-", "-"])
            peak, within, total = memory_check(v, f, TOOL)
            times = len(peers) + 1
            put(f"| {f['note']} | {f['size'] / 1e6:,.0f} MB | {' | '.join(cells[:times])} | "
                f"{' | '.join(ratio(v, f, name) for name in peers)} | {' | '.join(cells[times:])} | "
                f"{mib(allowance(f['lines']))} | {within}/{total} (largest {mib(peak)}) |")
        put("")
        put("Every output was checked to be a permutation of its input (same count, sum and XOR of line hashes, "
            "`line_digest`).")
        put("")

    if usable("long"):
        record = records["long"]
        v = view(record)
        part_heading(put, record, "Long lines")
        put(f"{record['rounds']} measured rounds; the ratio is line_shuffler's median wall time over the "
            f"command's. One core is the same build under `taskset -c 0`, in the same rounds."
            + (f" `{BEFORE}` is `{record['before']}` (sha256 {record['before_sha']}), given with `--before`."
               if record.get("before") else ""))
        put("")
        put("| File | Command | Wall (min-max) | One core (min-max) | Peak memory | line_shuffler / this |")
        put("|---|---|---|---|---|---|")

        def wall(f, name):
            low, high = v.spread(f, name, "wall")
            return f"{seconds(v.median(f, name, 'wall'))} ({seconds(low)}-{seconds(high)})"

        for f in v.file_list():
            for name, alone in ((TOOL, ONE_CORE), (BEFORE, BEFORE_ONE_CORE), ("cat", None), (SYNCED_CAT, None),
                                ("shuf", None), (UUTILS, None)):
                if v.has(f, name):
                    put(f"| {f['note']} | {SHOWN.get(name, name)} | {wall(f, name)} | "
                        f"{wall(f, alone) if alone and v.has(f, alone) else '-'} | {mib(v.median(f, name, 'rss'))} | "
                        f"{ratio(v, f, name) if name != TOOL else ''} |")
        put("")

    if "cgroup" in records and records["cgroup"].get("skipped"):
        record = records["cgroup"]
        part_heading(put, record, "Files larger than memory")
        put(f"Skipped: {record['skipped']}.")
        put("")
    elif usable("cgroup"):
        record = records["cgroup"]
        v = view(record)
        part_heading(put, record, "Files larger than memory")
        put(f"Each command runs in a memory cgroup of its own ({record['cgroup']}), made before the run and "
            f"removed after it: the limit counts the page cache the command brings in as well as its own memory, "
            f"so a file larger than the limit cannot stay cached. Before every run the command's earlier output is "
            f"removed and the input's pages are dropped from the page cache (`page_cache drop`: fsync, then "
            f"`POSIX_FADV_DONTNEED` on that file only), so each run starts with nothing of it cached. The "
            f"sequential read is `seq_read`: the file from start to end in 1 MiB reads, in the same cgroup; the "
            f"copy is `cat file.txt > cat_out.txt` into a new file, in the same cgroup, and the copy that waits "
            f"for the disk (`{SYNCED_CAT}`) the same copy followed by `sync -d cat_out.txt` (an `fdatasync`), "
            f"timed as one command. "
            f"{record['large_rounds']} interleaved rounds; there is no warm-up run, the first round's outputs are "
            f"checked. Peak memory is the process's `ru_maxrss`; the cgroup's peak (page cache included) is "
            f"`memory.max_usage_in_bytes` (v1) or `memory.peak` (v2); \"limit hit\" counts the times usage "
            f"reached the limit (`memory.failcnt`, or `max` in `memory.events`).")
        put("")
        p = v.extra.get("check")
        if p:
            put(f"Check that the page cache counts against the limit: after one `seq_read` of {p['file']} "
                f"({p['size'] / 1e9:.2f} GB) in the cgroup, its usage had peaked at "
                f"{mib(p['peak']) if p['peak'] is not None else '(not reported)'} of {mib(record['cgroup_limit'])} "
                f"(limit hit {p['limit_hits']:,} times), and {mib(p['resident'])} of the file was left cached.")
            put("")
        put(f"| File | Command | Wall (min-max) | / seq_read | / cat | / {SYNCED_CAT} | CPU | Peak memory | "
            f"Cgroup peak | Limit hit | File cached after |")
        put("|---|---|---|---|---|---|---|---|---|---|---|")
        for f in v.file_list():
            seq = v.median(f, "seq_read, cgroup", "wall") if v.has(f, "seq_read, cgroup") else None
            copy = v.median(f, "cat, cgroup", "wall") if v.has(f, "cat, cgroup") else None
            synced = f"{SYNCED_CAT}, cgroup"
            synced_copy = v.median(f, synced, "wall") if v.has(f, synced) else None
            for name in ("line_shuffler, cgroup", "seq_read, cgroup", "cat, cgroup", synced):
                if not v.has(f, name):
                    continue
                runs = v.runs(f, name)
                low, high = v.spread(f, name, "wall")
                left = [run["cache_left"] for run in runs]
                peaks = [run["cg_peak"] for run in runs if run.get("cg_peak") is not None]
                to_copy = f"{v.median(f, name, 'wall') / copy:.2f}x" if copy else "-"
                to_synced = f"{v.median(f, name, 'wall') / synced_copy:.2f}x" if synced_copy else "-"
                put(f"| {f['note']} ({f['size'] / 1e9:.2f} GB) | {name.split(',')[0]} | "
                    f"{seconds(v.median(f, name, 'wall'))} ({seconds(low)}-{seconds(high)}) | "
                    f"{v.median(f, name, 'wall') / seq:.1f}x | {to_copy} | {to_synced} | "
                    f"{seconds(v.median(f, name, 'cpu'))} | "
                    f"{mib(max(run['rss'] for run in runs))} | {mib(max(peaks)) if peaks else '-'} | "
                    f"{statistics.median(run['cg_limit_hits'] for run in runs):,.0f} | "
                    f"{min(left):.0%}-{max(left):.0%} |")
            if v.has(f, "shuf, cgroup"):
                run = v.runs(f, "shuf, cgroup")[0]
                put(f"| {f['note']} ({f['size'] / 1e9:.2f} GB) | shuf, once | {run['outcome']} after "
                    f"{seconds(run['wall'])} | | | | {seconds(run['cpu'])} | {mib(run['rss'])} | "
                    f"{mib(run['cg_peak']) if run.get('cg_peak') is not None else '-'} | {run['cg_limit_hits']:,} | "
                    f"{run['cache_left']:.0%} |")
        put("")
        put(f"Peak memory is the largest of the runs, against the allowance {promise_text()}: " + "; ".join(
            f"{f['note']} {mib(allowance(f['lines']))}" for f in v.file_list()) + ". shuf ran once, with a time "
            f"limit of 10 times the tool's median time (at least 10 s, at most "
            f"{SHUF_CAP_QUICK if record['quick'] else SHUF_CAP} s).")
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
        put(f"{f['note']}, {f['size'] / 1e9:.2f} GB: one run each, without a warm-up run (the file was read "
            f"once just before, to have it in the page cache); every output checked to be a permutation of the "
            f"input. The ratio is line_shuffler's wall time over the command's.")
        put("")
        put("| Command | Wall | Peak memory | line_shuffler / this |")
        put("|---|---|---|---|")
        for name in (TOOL, "shuf", UUTILS):
            if v.has(f, name):
                put(f"| {SHOWN.get(name, name)} | {seconds(v.median(f, name, 'wall'))} | "
                    f"{mib(v.median(f, name, 'rss'))} | {ratio(v, f, name) if name != TOOL else ''} |")
        put(f"| allowance | | {mib(allowance(f['lines']))} | |")
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

    tables = {}

    def table(name, rows):
        path = os.path.join(scratch, f"plot_{name}.dat")
        with open(path, "w") as out:
            for row in sorted(rows):
                out.write(" ".join(str(x) for x in row) + "\n")
        tables[path] = rows
        return path

    def has_points(dat, cols):
        """Whether the column has a value: a command not timed (uutils shuf
        where it is not installed) has none, and gets no line."""
        column = int(cols.split(":")[1]) - 1
        return any(row[column] == row[column] for row in tables[dat])

    def med(v, f, name, key, scale=1.0):
        return v.median(f, name, key) / scale if v.has(f, name) else nan

    def ratio(v, f, name):
        return v.median(f, TOOL, "wall") / v.median(f, name, "wall") if v.has(f, TOOL) and v.has(f, name) else nan

    # Panel 0: time; 1: peak memory; 2: line_shuffler's time over each peer's.
    short_rows = []
    for part in ("short", "giant"):
        if part in records:
            v = view(records[part])
            for f in v.file_list():
                short_rows.append((f["lines"], med(v, f, TOOL, "wall"), med(v, f, "shuf", "wall"),
                                   med(v, f, UUTILS, "wall"), med(v, f, "cat", "wall"),
                                   med(v, f, TOOL, "rss", MIB), med(v, f, "shuf", "rss", MIB),
                                   med(v, f, UUTILS, "rss", MIB),
                                   ratio(v, f, "shuf"), ratio(v, f, UUTILS), ratio(v, f, "cat"),
                                   med(v, f, SYNCED_CAT, "wall"), ratio(v, f, SYNCED_CAT)))
    tool_style = "linespoints lw 2 pt 7 lc rgb '#8000c0'"
    gnu_style = "linespoints dt 4 pt 4 lc rgb '#008060'"
    uutils_style = "linespoints dt 5 pt 12 lc rgb '#c04000'"
    cat_style = "linespoints dt 3 pt 6 lc rgb '#3090d0'"
    synced_style = "linespoints dt 2 pt 8 lc rgb '#1040a0'"
    if short_rows:
        dat = table("short", short_rows)
        series += [(dat, "1:2", tool_style, "line\\_shuffler", 0),
                   (dat, "1:3", gnu_style, "GNU shuf", 0),
                   (dat, "1:4", uutils_style, "uutils shuf", 0),
                   (dat, "1:5", cat_style, "cat", 0),
                   (dat, "1:6", tool_style, "line\\_shuffler", 1),
                   (dat, "1:7", gnu_style, "GNU shuf", 1),
                   (dat, "1:8", uutils_style, "uutils shuf", 1),
                   (dat, "1:9", gnu_style, "line\\_shuffler / GNU shuf", 2),
                   (dat, "1:10", uutils_style, "line\\_shuffler / uutils shuf", 2),
                   (dat, "1:11", cat_style, "line\\_shuffler / cat", 2),
                   (dat, "1:12", synced_style, SYNCED_CAT, 0),
                   (dat, "1:13", synced_style, f"line\\_shuffler / {SYNCED_CAT}", 2)]
    if "500" in records:
        v = view(records["500"])
        rows = [(f["lines"], med(v, f, TOOL, "wall"), med(v, f, "shuf", "wall"), med(v, f, UUTILS, "wall"),
                 med(v, f, TOOL, "rss", MIB), med(v, f, "shuf", "rss", MIB), med(v, f, UUTILS, "rss", MIB),
                 ratio(v, f, "shuf"), ratio(v, f, UUTILS), ratio(v, f, "cat"), ratio(v, f, SYNCED_CAT))
                for f in v.file_list()]
        dat = table("500", rows)
        series += [(dat, "1:2", "points pt 5 ps 1.5 lc rgb '#e07000'", "line\\_shuffler, 400-600 byte lines", 0),
                   (dat, "1:3", "points pt 4 ps 1.5 lc rgb '#e07000'", "GNU shuf, 400-600 byte lines", 0),
                   (dat, "1:4", "points pt 12 ps 1.5 lc rgb '#e07000'", "uutils shuf, 400-600 byte lines", 0),
                   (dat, "1:5", "points pt 5 ps 1.5 lc rgb '#e07000'", "line\\_shuffler, 400-600 byte lines", 1),
                   (dat, "1:6", "points pt 4 ps 1.5 lc rgb '#e07000'", "GNU shuf, 400-600 byte lines", 1),
                   (dat, "1:7", "points pt 12 ps 1.5 lc rgb '#e07000'", "uutils shuf, 400-600 byte lines", 1),
                   (dat, "1:8", "points pt 4 ps 1.5 lc rgb '#e07000'", "/ GNU shuf, 400-600 byte lines", 2),
                   (dat, "1:9", "points pt 12 ps 1.5 lc rgb '#e07000'", "/ uutils shuf, 400-600 byte lines", 2),
                   (dat, "1:10", "points pt 6 ps 1.5 lc rgb '#e07000'", "/ cat, 400-600 byte lines", 2),
                   (dat, "1:11", "points pt 8 ps 1.5 lc rgb '#e07000'", f"/ {SYNCED_CAT}, 400-600 byte lines", 2)]
    if "cgroup" in records and not records["cgroup"].get("skipped"):
        record = records["cgroup"]
        v = view(record)
        rows = [(f["lines"], med(v, f, "line_shuffler, cgroup", "wall"), med(v, f, "seq_read, cgroup", "wall"),
                 med(v, f, "line_shuffler, cgroup", "rss", MIB), med(v, f, "cat, cgroup", "wall"),
                 med(v, f, f"{SYNCED_CAT}, cgroup", "wall"))
                for f in v.file_list()]
        dat = table("cgroup", rows)
        limit = f"{record['cgroup_limit'] / MIB:,.0f} MiB"
        series += [(dat, "1:2", "points pt 9 ps 1.5 lc rgb '#0050a0'", f"line\\_shuffler in a {limit} cgroup", 0),
                   (dat, "1:3", "points pt 8 ps 1.5 lc rgb '#d02020'", f"one sequential read in a {limit} cgroup", 0),
                   (dat, "1:4", "points pt 9 ps 1.5 lc rgb '#0050a0'", f"line\\_shuffler in a {limit} cgroup", 1),
                   (dat, "1:5", "points pt 6 ps 1.5 lc rgb '#3090d0'", f"cat in a {limit} cgroup", 0),
                   (dat, "1:6", "points pt 10 ps 1.5 lc rgb '#1040a0'", f"{SYNCED_CAT} in a {limit} cgroup", 0)]
    line_counts = [row[0] for row in short_rows]
    for part in ("500", "cgroup"):
        if part in records:
            line_counts += [f["lines"] for f in view(records[part]).file_list()]
    if not series:
        return False
    low = min(line_counts) / 2
    high = max(line_counts) * 2

    def plot_line(panel):
        parts = [f"'{dat}' using {cols} with {style} title '{title}'" for dat, cols, style, title, p in series
                 if p == panel and has_points(dat, cols)]
        return ", \\\n     ".join(parts)

    script = f"""
set terminal pngcairo size 1800,650 font ",10"
set output '{out_png}'
set multiplot layout 1,3
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
     [{low}:{high}] ({ALLOWANCE_BASE} + {ALLOWANCE_PER_LINE} * x) / {MIB}.0 with lines dt 2 lw 2 lc rgb '#808080' title 'allowance {promise_text()}'
set title 'line\\_shuffler''s time over each other command''s (page cache)'
set ylabel 'ratio of median wall times'
plot {plot_line(2) or "1 notitle"}, \\
     [{low}:{high}] 1 with lines dt 2 lc rgb '#808080' title 'equal time'
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
    parser.add_argument("--cgroup-mib", type=int, help="memory limit of the cgroup part (default 1024; 128 with --quick)")
    parser.add_argument("--cgroup-gb", type=float,
                        help="size of each of the cgroup part's files (default 3; 0.2 with --quick)")
    parser.add_argument("--cgroup-parent", help="make the cgroup part's cgroups under this one")
    parser.add_argument("--uutils-shuf", help="how to run uutils' shuf (a command line, such as "
                        "/usr/lib/cargo/bin/coreutils/shuf); without it, it is not timed")
    parser.add_argument("--before", help="an earlier line_shuffler build to time beside the tool: on one core on "
                        "every cached file, and on both cores on the long lines")
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

    if args.cgroup_mib is None:
        args.cgroup_mib = 128 if args.quick else 1024
    if args.cgroup_gb is None:
        args.cgroup_gb = 0.2 if args.quick else 3
    if args.cgroup_mib < 16 or args.cgroup_gb <= 0:
        parser.error("--cgroup-mib must be at least 16 and --cgroup-gb above 0")
    files = file_set(args.quick, args.cgroup_gb)
    b = bench(args)
    if "cgroup" in parts:
        b.cgroup, b.cgroup_missing = memory_cgroup.find(args.cgroup_mib * MIB, args.cgroup_parent)
        if b.cgroup:
            b.log(f"cgroup part: {b.cgroup.describe()}")
        else:
            files["cgroup"] = []  # not needed: the part is skipped
    os.makedirs(args.out, exist_ok=True)
    runs_path = os.path.join(args.out, "runs.json")
    records = load_records(runs_path)
    check_disk(b, parts, files)
    b.log(f"parts: {', '.join(parts)}")
    tool_sha = tool_identity(b.tool)
    uutils_version = None
    if b.uutils:
        version = subprocess.run(b.uutils + ["--version"], capture_output=True, text=True)
        if version.returncode != 0:
            raise SystemExit(f"bench: {args.uutils_shuf} --version failed: {version.stderr.strip()}")
        uutils_version = (version.stdout.splitlines() or ["?"])[0].strip()
        b.log(f"uutils shuf: {args.uutils_shuf} ({uutils_version})")
    else:
        b.log("uutils shuf: not given (--uutils-shuf), not timed")
    tree = tree_state(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    failed = []
    for part in parts:
        b.log(f"part {part}: {PARTS[part]}")
        record = b.begin(part)
        if part in ("short", "500", "long") and args.before:
            record.update({"before": os.path.abspath(args.before), "before_sha": tool_identity(args.before)})
        record.update({"invocation": args.invocation, "tool": b.tool, "tool_sha": tool_sha, "tree": tree,
                       "quick": args.quick, "rounds": args.baseline_runs if part == "baseline" else args.runs,
                       "large_rounds": args.large_runs, "outputs_removed": True,
                       "uutils": uutils_version, "uutils_command": args.uutils_shuf})
        try:
            run_part(b, part, files, args)
        except (RuntimeError, OSError, subprocess.CalledProcessError) as error:
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
