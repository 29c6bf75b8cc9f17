#!/usr/bin/env python3
"""Benchmark runner: the TRUV 4 machine against Lua 5.4 and CPython.

Usage (from the repository root):
    python3 bench/run.py [--rounds N] [--only NAME] [--json FILE] [--no-build] ...

Steps:
1. Builds the release machine (`cmake -S . -B build -DCMAKE_BUILD_TYPE=Release`, then
   `cmake --build build -j`), unless --no-build is given.
2. Assembles every bench/<name>/<name>.tasm with truvasm into a scratch directory of its own,
   as out.trux, which is where truvvm looks for its program.
3. For each benchmark runs the machine, Lua and Python interleaved (m, l, p, m, l, p, ...) for
   the given number of rounds, measuring the wall time and the peak resident set size of each
   child (os.wait4 rusage, ru_maxrss).
4. Compares the outputs: the machine's finishing line (and the line break written before it)
   is stripped, then all three programs must have printed exactly the same text, in every
   round. The checksum shown is the last line of that text.
5. Prints a table (median times, ratios machine/Lua and machine/Python, peak memory, checksum
   status) and the geometric means of the two ratios over the benchmarks that passed.

Only the standard library is used. Exit status: 0 when every benchmark passed, 1 when one failed,
2 on a usage or setup error.
"""

import argparse
import datetime
import hashlib
import json
import math
import os
import platform
import selectors
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_ROOT = os.path.dirname(BENCH_DIR)

# The suite in its documented order; any further directory that holds the three programs is
# run after these, in name order.
ORDER = ["loop", "fib", "calls", "strcat", "listsum", "dict", "output", "nested"]

IMPLS = ["machine", "lua", "python"]
SHORT = {"machine": "m", "lua": "l", "python": "p"}

# The machine writes a line break and this line after the program's own output.
FINISH_LINE = b"\n<TRUV 4> Program finished.\n"
FINISH_WITH_CODE = b"\n<TRUV 4> Program finished with code "

# Bytes of output kept in memory per run; everything is hashed as it streams past.
TAIL_KEEP = 64 * 1024


class RunResult:
    def __init__(self):
        self.ok = False
        self.error = ""
        self.wall = None        # seconds
        self.cpu = None         # user + system seconds
        self.maxrss_kib = None  # ru_maxrss, KiB on Linux
        self.digest = None      # SHA-256 of the output with the finishing line stripped
        self.size = 0           # bytes of that output
        self.checksum = None    # its last line


def child_env():
    """The environment for the children, without variables that change how the peers run
    (PYTHONUNBUFFERED, for one, makes every write a system call)."""
    env = dict(os.environ)
    for name in list(env):
        if name.startswith("PYTHON") or name.startswith("LUA_"):
            del env[name]
    return env


def become_subreaper():
    """Makes this process the reaper of its orphaned descendants (Linux prctl
    PR_SET_CHILD_SUBREAPER), so that a child started by a short-lived shell can be waited for
    here. Returns whether that worked."""
    try:
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        return libc.prctl(36, 1, 0, 0, 0) == 0
    except (OSError, AttributeError):
        return False


# A forked child starts with a copy of its parent's pages, and ru_maxrss keeps the peak of the
# memory it had before exec too: a child forked straight from this runner would never report
# less than the runner's own resident set (about 20 MiB). So, when the runner can adopt orphans,
# each benchmark process is forked by a small shell that writes the child's process id on its
# standard input (here a pipe opened for writing) and exits at once; the child, reparented to
# the runner, is then waited for with os.wait4 and its rusage is its own.
# The shell's child first waits at a gate (a pipe whose only write end the runner holds) and
# starts the benchmark only once the runner has seen the shell end: a benchmark that ended
# while the shell was still there would be reaped by the shell, and its rusage lost.
SPAWN_SCRIPT = 'g=$1; shift; { read -r _ <&"$g"; exec "$@"; } </dev/null & echo $! >&0'
SUBREAPER = False


def start_child(argv, cwd, env, errfile):
    """Starts argv; returns its process id and the Popen object whose stdout is the child's
    standard output (the child itself, or the shell that started it and has ended already)."""
    if not SUBREAPER:
        proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=errfile)
        return proc.pid, proc
    rfd, wfd = os.pipe()
    gate_r, gate_w = os.pipe()
    try:
        try:
            shell = subprocess.Popen(["/bin/sh", "-c", SPAWN_SCRIPT, "sh", str(gate_r)] + argv,
                                     cwd=cwd, env=env, stdin=wfd, stdout=subprocess.PIPE,
                                     stderr=errfile, pass_fds=(gate_r,))
        finally:
            os.close(wfd)
            os.close(gate_r)
        with os.fdopen(rfd, "rb") as r:
            text = r.read().decode("ascii", "replace").strip()
        shell.wait()
    finally:
        os.close(gate_w)  # opens the gate: the child, now the runner's, starts the benchmark
    if shell.returncode != 0 or not text.isdigit():
        raise OSError(f"the shell could not start {argv[0]} (status {shell.returncode})")
    return int(text), shell


def run_child(argv, cwd, env, timeout, strip_finish):
    """Runs one child with standard output on a pipe that is drained as it fills, standard
    error in a scratch file and no standard input. Returns a RunResult."""
    res = RunResult()
    hasher = hashlib.sha256()
    tail = bytearray()
    total = 0
    with tempfile.TemporaryFile() as errfile:
        start = time.perf_counter()
        try:
            pid, proc = start_child(argv, cwd, env, errfile)
        except OSError as exc:
            res.error = f"cannot start {argv[0]}: {exc}"
            return res
        fd = proc.stdout.fileno()
        deadline = start + timeout
        timed_out = False
        sel = selectors.DefaultSelector()
        sel.register(fd, selectors.EVENT_READ)
        while True:
            left = deadline - time.perf_counter()
            if left <= 0:
                timed_out = True
                os.kill(pid, 9)
                break
            if not sel.select(timeout=min(left, 1.0)):
                continue
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                break
            total += len(chunk)
            tail += chunk
            if len(tail) > 2 * TAIL_KEEP:
                # Hash what leaves the kept tail; the tail itself is hashed at the end,
                # once the finishing line has been taken off it.
                cut = len(tail) - TAIL_KEEP
                hasher.update(tail[:cut])
                del tail[:cut]
        sel.close()
        proc.stdout.close()
        try:
            _, status, rusage = os.wait4(pid, 0)
        except ChildProcessError:
            # Reaped by someone else (start_child's gate keeps the shell from doing so): its
            # time and peak memory are lost, and the run counts as failed.
            res.error = "the child process was reaped elsewhere"
            return res
        end = time.perf_counter()
        returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode is None:
            proc.returncode = returncode  # waited for here, not through Popen
        errfile.seek(0)
        errtext = errfile.read(4000).decode("utf-8", "replace").strip()

    res.wall = end - start
    res.cpu = rusage.ru_utime + rusage.ru_stime
    res.maxrss_kib = rusage.ru_maxrss
    if timed_out:
        res.error = f"timed out after {timeout:g} s"
        return res
    if returncode != 0:
        first = errtext.splitlines()[0] if errtext else ""
        res.error = f"exit status {returncode}" + (f": {first}" if first else "")
        return res
    body = bytes(tail)
    if strip_finish:
        if body.endswith(FINISH_LINE):
            body = body[:-len(FINISH_LINE)]
        else:
            at = body.rfind(FINISH_WITH_CODE)
            if at >= 0:
                code = body[at + len(FINISH_WITH_CODE):].strip().decode("utf-8", "replace")
                res.error = f"finished with code {code} (values left on the data stack)"
            else:
                res.error = "no finishing line"
            return res
    hasher.update(body)
    res.digest = hasher.hexdigest()
    res.size = total - (len(FINISH_LINE) if strip_finish else 0)
    lines = body.decode("utf-8", "replace").rstrip("\n").split("\n")
    res.checksum = lines[-1] if lines else ""
    res.ok = True
    return res


def discover(only):
    names = [n for n in ORDER if os.path.isdir(os.path.join(BENCH_DIR, n))]
    for entry in sorted(os.listdir(BENCH_DIR)):
        if entry in names:
            continue
        d = os.path.join(BENCH_DIR, entry)
        if os.path.isdir(d) and all(os.path.isfile(os.path.join(d, entry + ext))
                                    for ext in (".tasm", ".lua", ".py")):
            names.append(entry)
    if only:
        wanted = []
        for item in only:
            wanted.extend(x for x in item.split(",") if x)
        unknown = [w for w in wanted if w not in names]
        if unknown:
            sys.exit(f"run.py: unknown benchmark(s): {', '.join(unknown)} "
                     f"(known: {', '.join(names)})")
        names = [n for n in names if n in wanted]
    for n in names:
        for ext in (".tasm", ".lua", ".py"):
            p = os.path.join(BENCH_DIR, n, n + ext)
            if not os.path.isfile(p):
                sys.exit(f"run.py: missing {os.path.relpath(p, REPO_ROOT)}")
    return names


def build(build_dir, jobs):
    steps = [
        ["cmake", "-S", REPO_ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release"],
        ["cmake", "--build", build_dir, "-j", str(jobs), "--target", "truvvm", "truvasm"],
    ]
    for cmd in steps:
        log(" ".join(cmd))
        r = subprocess.run(cmd, cwd=REPO_ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode != 0:
            sys.stderr.write(r.stdout.decode("utf-8", "replace")[-6000:])
            sys.exit(f"run.py: build step failed: {' '.join(cmd)}")


def assemble(truvasm, names, scratch):
    dirs = {}
    for n in names:
        d = os.path.join(scratch, n)
        os.makedirs(d, exist_ok=True)
        src = os.path.join(BENCH_DIR, n, n + ".tasm")
        r = subprocess.run([truvasm, "-o", os.path.join(d, "out.trux"), src],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode != 0:
            dirs[n] = None
            log(f"assembling {n}.tasm failed:\n" + r.stdout.decode("utf-8", "replace"))
        else:
            dirs[n] = d
    return dirs


def log(msg):
    sys.stderr.write(msg + "\n")
    sys.stderr.flush()


def median(xs):
    return statistics.median(xs) if xs else None


def geomean(xs):
    return math.exp(sum(math.log(x) for x in xs) / len(xs)) if xs else None


def fmt_time(t):
    if t is None:
        return "-"
    return f"{t:.3f}" if t < 10 else f"{t:.2f}" if t < 100 else f"{t:.1f}"


def fmt_ratio(r):
    if r is None:
        return "-"
    return f"{r:.2f}" if r < 10 else f"{r:.1f}" if r < 1000 else f"{r:.0f}"


def fmt_mib(kib):
    return "-" if kib is None else f"{kib / 1024:.1f}"


def evaluate(runs):
    """Status and checksum of one benchmark from the runs of all three implementations."""
    failures = []
    for impl in IMPLS:
        bad = [r for r in runs[impl] if not r.ok]
        if bad:
            failures.append(f"{impl}: {bad[0].error}")
    if failures:
        return "FAILED", "; ".join(failures), None
    digests = {impl: {r.digest for r in runs[impl]} for impl in IMPLS}
    for impl in IMPLS:
        if len(digests[impl]) != 1:
            return "FAILED", f"{impl}: output differs between rounds", None
    ref = runs["lua"][0]
    differ = [impl for impl in IMPLS if runs[impl][0].digest != ref.digest]
    if differ:
        detail = ", ".join(f"{impl} {runs[impl][0].checksum!r}" for impl in IMPLS)
        return "FAILED", f"checksums differ: {detail}", None
    return "ok", "", ref.checksum


def pin_cpu(choice, ap):
    """Pins this runner, and so every child it starts, to one processor; returns it, or None.

    The processors of a shared host need not run equally fast (a busy neighbour on one of
    them, say), and a run that lands on the slower one would skew a ratio. On one processor
    the three implementations of a benchmark share whatever it offers."""
    if choice == -1 or not hasattr(os, "sched_setaffinity"):
        return None
    allowed = os.sched_getaffinity(0)
    cpu = min(allowed) if choice is None else choice
    if cpu not in allowed:
        ap.error(f"--cpu {cpu}: not one of the processors this process may use "
                 f"({', '.join(str(c) for c in sorted(allowed))})")
    os.sched_setaffinity(0, {cpu})
    return cpu


def main():
    ap = argparse.ArgumentParser(description="Runs the TRUV 4 benchmark suite against Lua and "
                                 "Python and prints a table of the results.")
    ap.add_argument("--rounds", type=int, default=5,
                    help="rounds per benchmark, each running machine, Lua, Python (default 5)")
    ap.add_argument("--only", action="append", metavar="NAME",
                    help="run only this benchmark (repeatable, or a comma-separated list)")
    ap.add_argument("--json", metavar="FILE", help="also write the results as JSON to FILE")
    ap.add_argument("--build-dir", default="build",
                    help="build directory, relative to the repository root (default build)")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                    help="parallel build jobs (default: the number of processors)")
    ap.add_argument("--no-build", action="store_true",
                    help="use the machine already built in the build directory")
    ap.add_argument("--lua", default=shutil.which("lua5.4") or "lua5.4",
                    help="Lua 5.4 interpreter (default lua5.4 from PATH)")
    ap.add_argument("--python", default="/usr/bin/python3",
                    help="Python interpreter to compare with (default /usr/bin/python3)")
    ap.add_argument("--timeout", type=float, default=1800.0,
                    help="seconds after which one run is stopped and counted as failed")
    ap.add_argument("--cpu", type=int, default=None,
                    help="processor every run is pinned to (default: the lowest one this "
                    "process may use; -1: no pinning)")
    args = ap.parse_args()
    if args.rounds < 1:
        ap.error("--rounds must be at least 1")

    names = discover(args.only)
    build_dir = os.path.join(REPO_ROOT, args.build_dir)
    for tool, path in (("lua", args.lua), ("python", args.python)):
        if not shutil.which(path):
            sys.exit(f"run.py: {tool} interpreter not found: {path}"
                     + (" (apt-get install -y lua5.4)" if tool == "lua" else ""))
    if not args.no_build:
        build(build_dir, args.jobs)
    truvvm = os.path.join(build_dir, "truvvm")
    truvasm = os.path.join(build_dir, "truvasm")
    for p in (truvvm, truvasm):
        if not os.access(p, os.X_OK):
            sys.exit(f"run.py: {p} not found (build first, or drop --no-build)")

    # After the build, which may use every processor.
    cpu = pin_cpu(args.cpu, ap)
    env = child_env()
    global SUBREAPER
    SUBREAPER = become_subreaper()
    if not SUBREAPER:
        log("run.py: cannot adopt orphaned children; the memory figures include the runner's "
            "own resident set")
    load_start = os.getloadavg()
    started = datetime.datetime.now(datetime.timezone.utc)
    results = []
    with tempfile.TemporaryDirectory(prefix="truv-bench-") as scratch:
        dirs = assemble(truvasm, names, scratch)
        for n in names:
            commands = {
                "machine": ([truvvm], dirs[n]),
                "lua": ([args.lua, os.path.join(BENCH_DIR, n, n + ".lua")], BENCH_DIR),
                "python": ([args.python, os.path.join(BENCH_DIR, n, n + ".py")], BENCH_DIR),
            }
            runs = {impl: [] for impl in IMPLS}
            if dirs[n] is None:
                r = RunResult()
                r.error = "assembly failed"
                runs["machine"].append(r)
            for rnd in range(args.rounds):
                line = []
                for impl in IMPLS:
                    argv, cwd = commands[impl]
                    if cwd is None or (runs[impl] and not runs[impl][-1].ok):
                        continue  # an implementation that failed once is not run again
                    r = run_child(argv, cwd, env, args.timeout, strip_finish=(impl == "machine"))
                    runs[impl].append(r)
                    line.append(f"{SHORT[impl]} {fmt_time(r.wall)}s" + ("" if r.ok else " FAIL"))
                log(f"{n} round {rnd + 1}/{args.rounds}: " + ", ".join(line))
            status, detail, checksum = evaluate(runs)
            entry = {"name": n, "status": status, "detail": detail, "checksum": checksum,
                     "impls": {}}
            for impl in IMPLS:
                good = [r for r in runs[impl] if r.ok]
                entry["impls"][impl] = {
                    "wall_s": [r.wall for r in runs[impl]],
                    "cpu_s": [r.cpu for r in runs[impl]],
                    "maxrss_kib": [r.maxrss_kib for r in runs[impl]],
                    "errors": [r.error for r in runs[impl] if not r.ok],
                    "median_wall_s": median([r.wall for r in good]),
                    "median_cpu_s": median([r.cpu for r in good]),
                    "peak_rss_mib": (max(r.maxrss_kib for r in good) / 1024) if good else None,
                    "checksum": good[0].checksum if good else None,
                    "output_bytes": good[0].size if good else None,
                }
            m = entry["impls"]["machine"]["median_wall_s"]
            lu = entry["impls"]["lua"]["median_wall_s"]
            py = entry["impls"]["python"]["median_wall_s"]
            entry["ratio_lua"] = m / lu if status == "ok" and m and lu else None
            entry["ratio_python"] = m / py if status == "ok" and m and py else None
            results.append(entry)
            if status != "ok":
                log(f"{n}: {status}: {detail}")
    load_end = os.getloadavg()

    # The table.
    head = ["benchmark", "machine s", "lua s", "python s", "m/lua", "m/py",
            "machine MiB", "lua MiB", "python MiB", "checksum"]
    rows = []
    for e in results:
        im = e["impls"]
        if e["status"] == "ok":
            mark = f"ok {e['checksum']}"
        elif e["detail"].startswith("checksums differ"):
            mark = "FAILED (checksums differ)"
        else:
            mark = "FAILED (see below)"
        rows.append([
            e["name"],
            fmt_time(im["machine"]["median_wall_s"]),
            fmt_time(im["lua"]["median_wall_s"]),
            fmt_time(im["python"]["median_wall_s"]),
            fmt_ratio(e["ratio_lua"]),
            fmt_ratio(e["ratio_python"]),
            "-" if im["machine"]["peak_rss_mib"] is None else f"{im['machine']['peak_rss_mib']:.1f}",
            "-" if im["lua"]["peak_rss_mib"] is None else f"{im['lua']['peak_rss_mib']:.1f}",
            "-" if im["python"]["peak_rss_mib"] is None else f"{im['python']['peak_rss_mib']:.1f}",
            mark,
        ])
    passed = [e for e in results if e["status"] == "ok"]
    g_lua = geomean([e["ratio_lua"] for e in passed])
    g_py = geomean([e["ratio_python"] for e in passed])
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h)
              for i, h in enumerate(head)]

    def fmt_row(cells):
        out = []
        for i, c in enumerate(cells):
            out.append(c.ljust(widths[i]) if i in (0, len(cells) - 1) else c.rjust(widths[i]))
        return "  ".join(out).rstrip()

    print(f"TRUV 4 benchmarks: {args.rounds} round(s), median wall time in seconds, "
          f"peak RSS in MiB (largest of the rounds)")
    shown = os.path.relpath(truvvm, REPO_ROOT)
    if shown.startswith(".."):
        shown = truvvm
    print(f"machine {shown}, lua {args.lua}, python {args.python}; "
          f"load average {load_start[0]:.2f} at start, {load_end[0]:.2f} at end; "
          + (f"every run on CPU {cpu}" if cpu is not None else "runs not pinned"))
    print()
    print(fmt_row(head))
    print(fmt_row(["-" * w for w in widths]))
    for r in rows:
        print(fmt_row(r))
    print()
    print(f"geometric mean over {len(passed)} of {len(results)} benchmarks that passed: "
          f"machine/Lua {fmt_ratio(g_lua)}, machine/Python {fmt_ratio(g_py)}")
    failed = [e for e in results if e["status"] != "ok"]
    for e in failed:
        print(f"{e['name']}: {e['status']}: {e['detail']}")

    if args.json:
        commit = None
        try:
            commit = subprocess.run(["git", "-C", REPO_ROOT, "rev-parse", "HEAD"],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    text=True).stdout.strip() or None
        except OSError:
            pass
        doc = {
            "started": started.isoformat(),
            "rounds": args.rounds,
            "commit": commit,
            "host": {"platform": platform.platform(), "cpus": os.cpu_count(),
                     "loadavg_start": load_start, "loadavg_end": load_end, "cpu": cpu},
            "interpreters": {"machine": truvvm, "lua": args.lua, "python": args.python},
            "benchmarks": results,
            "geomean": {"ratio_lua": g_lua, "ratio_python": g_py,
                        "benchmarks": [e["name"] for e in passed]},
        }
        with open(args.json, "w") as f:
            json.dump(doc, f, indent=2)
            f.write("\n")
    return 0 if not failed else 1


if __name__ == "__main__":
    sys.exit(main())
