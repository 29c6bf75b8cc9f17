#!/usr/bin/env python3
"""Differential runs: random programs (progen.py) on two or three machines, which must agree.

Usage (from the repository root, after a build):
    python3 fuzz/differential.py [--bin build] [--oracle PATH | --oracle-rev REV]
                                 [--seeds FIRST:LAST] [--rounds N] [--keep DIR]

Each program is assembled with the truvasm of --bin and run by the truvvm and the
truvvm-gcstress there (which collects before every instruction), and by the oracle when one is
given: a truvvm built from another revision, for instance one from before a change to the run
loop. --oracle-rev REV builds it: a worktree of REV in BIN/oracle-REV/src, built in Release
there (once; later runs reuse it). Standard output, standard error and the exit status of every
run must be the same; a program that differs is copied to --keep (default
fuzz/corpus-run/differential) and named in the output. A run that takes longer than --timeout
seconds is left out of the comparison, with all the runs of its program, and named in the output.

Exit status: 0 when every program agreed, 1 when one differed, 2 on a usage or setup error.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# progen.py is imported from beside this file; the test runs leave no compiled copy in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, HERE)
from progen import Generator  # noqa: E402 (found through the path set above)


def build_oracle(bindir, rev):
    """The path of truvvm built from revision rev, built first when it is not there yet."""
    base = os.path.join(bindir, "oracle-" + rev)
    src = os.path.join(base, "src")
    vm = os.path.join(base, "build", "truvvm")
    if os.path.exists(vm):
        return vm
    if not os.path.exists(src):
        subprocess.run(["git", "-C", ROOT, "worktree", "add", "--detach", src, rev], check=True)
    build = os.path.join(base, "build")
    subprocess.run(["cmake", "-S", src, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DTRUV_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "truvvm", "-j", str(os.cpu_count() or 1)], check=True)
    return vm


def run(vm, workdir, timeout):
    """(status, stdout, stderr) of vm run in workdir on its out.trux, or None past the timeout."""
    try:
        p = subprocess.run([vm], cwd=workdir, capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return None
    return (p.returncode, p.stdout, p.stderr)


def main():
    parser = argparse.ArgumentParser(description="Random programs on machines that must agree.")
    parser.add_argument("--bin", default="build", help="build directory with truvasm, truvvm, truvvm-gcstress")
    oracle = parser.add_mutually_exclusive_group()
    oracle.add_argument("--oracle", help="a third truvvm to compare with")
    oracle.add_argument("--oracle-rev", help="build truvvm of this git revision and compare with it")
    parser.add_argument("--seeds", default="0:200", help="FIRST:LAST, LAST excluded (default 0:200)")
    parser.add_argument("--rounds", type=int, default=1, help="progen.py --rounds (default 1)")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds per run (default 10)")
    parser.add_argument("--keep", default=os.path.join(HERE, "corpus-run", "differential"))
    args = parser.parse_args()

    bindir = os.path.abspath(args.bin)
    asm = os.path.join(bindir, "truvasm")
    machines = [(name, os.path.join(bindir, name)) for name in ("truvvm", "truvvm-gcstress")]
    try:
        first, last = (int(x) for x in args.seeds.split(":"))
    except ValueError:
        parser.error("--seeds takes FIRST:LAST")
    if args.oracle_rev:
        try:
            machines.insert(0, ("oracle", build_oracle(bindir, args.oracle_rev)))
        except subprocess.CalledProcessError as e:
            print("differential.py: cannot build the oracle: %s" % e, file=sys.stderr)
            return 2
    elif args.oracle:
        machines.insert(0, ("oracle", os.path.abspath(args.oracle)))
    for _, path in [("truvasm", asm)] + machines:
        if not os.access(path, os.X_OK):
            print("differential.py: no program at %s" % path, file=sys.stderr)
            return 2

    compared = differ = timedout = 0
    with tempfile.TemporaryDirectory(prefix="truv-diff-") as work:
        source = os.path.join(work, "p.tasm")
        for seed in range(first, last):
            with open(source, "w") as f:
                f.write(Generator(seed).program(args.rounds))
            made = subprocess.run([asm, "-o", os.path.join(work, "out.trux"), source], capture_output=True, text=True)
            if made.returncode != 0:
                print("seed %d: does not assemble: %s" % (seed, made.stderr.strip()), file=sys.stderr)
                return 2
            results = []
            for name, vm in machines:
                result = run(vm, work, args.timeout)
                if result is None:
                    print("seed %d: %s ran past the timeout; left out" % (seed, name), flush=True)
                    break
                results.append((name, result))
            if len(results) < len(machines):
                timedout += 1
                continue
            compared += 1
            odd = [name for name, result in results[1:] if result != results[0][1]]
            if odd:
                differ += 1
                os.makedirs(args.keep, exist_ok=True)
                kept = os.path.join(args.keep, "seed_%d_rounds_%d.tasm" % (seed, args.rounds))
                shutil.copy(source, kept)
                print("seed %d: %s differ from %s; kept as %s" % (seed, ", ".join(odd), results[0][0], kept),
                      flush=True)
    print("%d programs compared on %s, %d differ, %d left out past the timeout"
          % (compared, ", ".join(name for name, _ in machines), differ, timedout))
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
