#!/usr/bin/env python3
"""Runs end-to-end tests of the TRUV 4 machine written as `.tt` files.

Usage:
    run_e2e.py --bin DIR [--vm NAME] [--keep] [-q] PATH...

Each PATH is a `.tt` file or a directory searched recursively for `.tt` files. DIR holds `truvvm`,
`truvasm` and (optionally) `truvdis`. The file format is described in tests/README.md.

For every test: the program is assembled with `truvasm` (or the hex of a `raw` section is decoded)
in a fresh temporary directory; when `truvdis` exists, its listing of the bytecode must reassemble to
the same bytes; `truvvm` then runs in a second fresh temporary directory that holds only `out.trux`
and the files and directories that the test sets up. Standard output, standard error, the exit status
and the named files are compared exactly. The environment variable TRUV_WRAP (for instance
"valgrind -q") is split like a shell command line and put in front of the `truvvm` command, and
TRUV_TIMEOUT_FACTOR multiplies the timeouts (120 s, or a test's `--- timeout N`); it is 4 when it is
unset and TRUV_SANITIZED is set, since the timeouts that catch slow paths are for release builds.

Exit status: 0 when every test passed, 1 when one failed, 2 on a usage error.
"""

import argparse
import difflib
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile

DEFAULT_TIMEOUT = 120.0
VM_NAME = "truvvm"  # the machine's program in the --bin directory (--vm)

# Section name -> (takes an argument, may have content, may be given more than once)
SECTIONS = {
    "stdout": (False, True, False),
    "stderr": (False, True, False),
    "exit": (True, False, False),
    "stdin": (False, True, False),
    "file": (True, True, True),
    "nofile": (True, False, True),
    "setup-file": (True, True, True),
    "setup-dir": (True, False, True),
    "raw": (False, True, False),
    "timeout": (True, False, False),
    "program": (True, False, False),
    "heavy": (False, False, False),
    "limit-mb": (True, False, False),
}

# The repository root: `--- program PATH` names a file relative to it.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Skipped(Exception):
    """The test does not run in this environment."""


class BadTest(Exception):
    """The .tt file itself is malformed."""


class Failure(Exception):
    """The test ran and did not pass, or could not be prepared."""


class Section:
    def __init__(self, name, arg, noeol, lineno):
        self.name = name
        self.arg = arg
        self.noeol = noeol
        self.lineno = lineno
        self.lines = []

    def content(self):
        data = b"".join(line + b"\n" for line in self.lines)
        if self.noeol:
            if not data:
                raise BadTest("line %d: `noeol` on an empty section" % self.lineno)
            data = data[:-1]
        return data


class TestFile:
    def __init__(self, path):
        self.path = path
        self.program = b""
        self.sections = []

    def get(self, name):
        for section in self.sections:
            if section.name == name:
                return section
        return None

    def all(self, name):
        return [s for s in self.sections if s.name == name]


def parse_tt(path):
    with open(path, "rb") as f:
        data = f.read()
    test = TestFile(path)
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()  # the newline that ends the last line (a missing one is taken as present)
    program = []
    current = None
    for number, line in enumerate(lines, 1):
        if line.startswith(b"--- "):
            words = line[4:].decode("utf-8", "replace").split(" ")
            words = [w for w in words if w != ""]
            if not words:
                raise BadTest("line %d: section line without a name" % number)
            name = words[0]
            if name not in SECTIONS:
                raise BadTest("line %d: unknown section `%s`" % (number, name))
            takes_arg, has_content, repeatable = SECTIONS[name]
            rest = words[1:]
            noeol = False
            if rest and rest[-1] == "noeol":
                if not has_content:
                    raise BadTest("line %d: `noeol` on section `%s`, which has no content"
                                  % (number, name))
                noeol = True
                rest = rest[:-1]
            if takes_arg:
                if not rest:
                    raise BadTest("line %d: section `%s` needs an argument" % (number, name))
                arg = " ".join(rest)
            else:
                if rest:
                    raise BadTest("line %d: section `%s` takes no argument" % (number, name))
                arg = None
            if not repeatable and test.get(name) is not None:
                raise BadTest("line %d: section `%s` given twice" % (number, name))
            current = Section(name, arg, noeol, number)
            test.sections.append(current)
        elif current is None:
            program.append(line)
        else:
            current.lines.append(line)
    test.program = b"".join(line + b"\n" for line in program)

    for section in test.sections:
        _, has_content, _ = SECTIONS[section.name]
        if not has_content and any(line.strip() for line in section.lines):
            raise BadTest("line %d: section `%s` has no content, but text follows it"
                          % (section.lineno, section.name))
        if not has_content:
            section.lines = []
    if test.get("stdout") is None:
        raise BadTest("no `--- stdout` section")
    exit_section = test.get("exit")
    if exit_section is None:
        raise BadTest("no `--- exit N` section")
    try:
        test.exit = int(exit_section.arg)
    except ValueError:
        raise BadTest("line %d: exit status `%s` is not a number"
                      % (exit_section.lineno, exit_section.arg))
    test.timeout = DEFAULT_TIMEOUT
    timeout_section = test.get("timeout")
    if timeout_section is not None:
        try:
            test.timeout = float(timeout_section.arg)
        except ValueError:
            raise BadTest("line %d: timeout `%s` is not a number"
                          % (timeout_section.lineno, timeout_section.arg))
        if test.timeout <= 0:
            raise BadTest("line %d: timeout must be positive" % timeout_section.lineno)
    if test.get("raw") is not None:
        for line in program:
            text = line.split(b"#", 1)[0].strip()
            if text:
                raise BadTest("a `raw` test has program text before its first section")
    return test


def decode_hex(section):
    out = bytearray()
    for offset, line in enumerate(section.lines, 1):
        text = line.split(b"#", 1)[0].decode("ascii", "replace")
        for word in text.split():
            if len(word) % 2 != 0:
                raise BadTest("line %d: odd number of hex digits in `%s`"
                              % (section.lineno + offset, word))
            try:
                out += bytes.fromhex(word)
            except ValueError:
                raise BadTest("line %d: `%s` is not hex" % (section.lineno + offset, word))
    return bytes(out)


def safe_path(root, relative):
    if os.path.isabs(relative):
        raise BadTest("path `%s` must be relative" % relative)
    full = os.path.normpath(os.path.join(root, relative))
    if os.path.commonpath([full, root]) != root or full == root:
        raise BadTest("path `%s` leaves the run directory" % relative)
    return full


def show(data):
    """Text lines for a diff, with invisible characters made visible (ends of lines as `$`)."""
    lines = []
    current = []
    for b in data:
        if b == 0x0A:
            current.append("$")
            lines.append("".join(current))
            current = []
        elif b == 0x09:
            current.append("\\t")
        elif b == 0x0D:
            current.append("\\r")
        elif b == 0x5C:
            current.append("\\\\")
        elif 0x20 <= b < 0x7F:
            current.append(chr(b))
        else:
            current.append("\\x%02x" % b)
    if current or not lines:
        current.append("  (no newline at end)" if current else "(empty)")
        lines.append("".join(current))
    return lines


def diff(what, expected, actual):
    out = ["--- %s: mismatch (`$` marks the end of a line)" % what]
    out.extend(difflib.unified_diff(show(expected), show(actual), "expected", "actual",
                                    lineterm="", n=3))
    return "\n".join(out)


def run_tool(argv, cwd, what, stdin=b"", timeout=60.0):
    try:
        proc = subprocess.run(argv, cwd=cwd, input=stdin, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout)
    except FileNotFoundError:
        raise Failure("%s: cannot run `%s`" % (what, argv[0]))
    except subprocess.TimeoutExpired:
        raise Failure("%s: no answer within %g s" % (what, timeout))
    return proc


def build_program(test, bindir, workdir):
    """Returns the bytes of out.trux."""
    program = test.get("program")
    if program is not None:
        own = [line for line in test.program.splitlines() if line.strip() and not line.lstrip().startswith(b"#")]
        if own:
            raise BadTest("a test with `--- program` has program text of its own")
        with open(safe_path(ROOT, program.arg), "rb") as f:
            test.program = f.read()
    raw = test.get("raw")
    asm = os.path.join(bindir, "truvasm")
    if raw is not None:
        code = decode_hex(raw)
    else:
        source = os.path.join(workdir, "program.tasm")
        with open(source, "wb") as f:
            f.write(test.program)
        proc = run_tool([asm, "-o", "out.trux", "program.tasm"], workdir, "truvasm")
        if proc.returncode != 0:
            # The program is the start of the .tt file, so its line numbers hold there too.
            message = proc.stderr.decode("utf-8", "replace").replace("program.tasm:",
                                                                     test.path + ":")
            raise Failure("truvasm failed with status %d:\n%s" % (proc.returncode, message))
        with open(os.path.join(workdir, "out.trux"), "rb") as f:
            code = f.read()

    dis = os.path.join(bindir, "truvdis")
    if os.path.exists(dis):
        with open(os.path.join(workdir, "given.trux"), "wb") as f:
            f.write(code)
        proc = run_tool([dis, "given.trux"], workdir, "truvdis")
        if proc.returncode != 0:
            raise Failure("round trip: truvdis failed with status %d:\n%s"
                          % (proc.returncode, proc.stderr.decode("utf-8", "replace")))
        listing = proc.stdout
        with open(os.path.join(workdir, "listing.tasm"), "wb") as f:
            f.write(listing)
        proc = run_tool([asm, "-o", "again.trux", "listing.tasm"], workdir, "truvasm")
        if proc.returncode != 0:
            raise Failure("round trip: the listing of truvdis does not assemble:\n%s\nlisting:\n%s"
                          % (proc.stderr.decode("utf-8", "replace"),
                             listing.decode("utf-8", "replace")))
        with open(os.path.join(workdir, "again.trux"), "rb") as f:
            again = f.read()
        if again != code:
            raise Failure("round trip: reassembling the listing of truvdis gives other bytes\n"
                          "bytecode:    %s\nreassembled: %s\nlisting:\n%s"
                          % (code.hex(" "), again.hex(" "), listing.decode("utf-8", "replace")))
    return code


def timeout_factor():
    """TRUV_TIMEOUT_FACTOR (a number, default 1, or 4 under a sanitizer) multiplies every timeout."""
    text = os.environ.get("TRUV_TIMEOUT_FACTOR", "")
    default = 4.0 if os.environ.get("TRUV_SANITIZED") else 1.0
    try:
        factor = float(text) if text else default
    except ValueError:
        raise Failure("TRUV_TIMEOUT_FACTOR `%s` is not a number" % text)
    return factor if factor > 0 else 1.0


def set_limit(megabytes):
    """Caps the address space of the machine's process, in MiB."""
    import resource
    size = megabytes << 20
    def apply():
        resource.setrlimit(resource.RLIMIT_AS, (size, size))
    return apply


def run_test(path, bindir, keep):
    test = parse_tt(path)
    # Heavy tests (long runs, large memory) are skipped where every instruction
    # is much slower: under sanitizers and with collection at every instruction.
    if test.get("heavy") is not None and os.environ.get("TRUV_SKIP_HEAVY"):
        raise Skipped("heavy")
    limit = test.get("limit-mb")
    if limit is not None and os.environ.get("TRUV_SANITIZED"):
        raise Skipped("address space limit under a sanitizer")
    workdir = tempfile.mkdtemp(prefix="truv-e2e-asm-")
    rundir = os.path.realpath(tempfile.mkdtemp(prefix="truv-e2e-run-"))
    try:
        code = build_program(test, bindir, workdir)
        with open(os.path.join(rundir, "out.trux"), "wb") as f:
            f.write(code)
        for section in test.sections:
            if section.name == "setup-dir":
                os.makedirs(safe_path(rundir, section.arg), exist_ok=True)
            elif section.name == "setup-file":
                target = safe_path(rundir, section.arg)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, "wb") as f:
                    f.write(section.content())

        stdin_section = test.get("stdin")
        stdin = stdin_section.content() if stdin_section is not None else b""
        wrap = shlex.split(os.environ.get("TRUV_WRAP", ""))
        timeout = test.timeout * timeout_factor()
        argv = wrap + [os.path.join(bindir, VM_NAME)]
        try:
            proc = subprocess.run(argv, cwd=rundir, input=stdin, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=timeout,
                                  preexec_fn=set_limit(int(limit.arg)) if limit else None)
        except FileNotFoundError:
            raise Failure("cannot run `%s`" % argv[0])
        except subprocess.TimeoutExpired as e:
            raise Failure("truvvm did not finish within %g s\nstdout so far:\n%s"
                          % (timeout, (e.stdout or b"").decode("utf-8", "replace")[-2000:]))

        problems = []
        expected_out = test.get("stdout").content()
        if proc.stdout != expected_out:
            problems.append(diff("stdout", expected_out, proc.stdout))
        stderr_section = test.get("stderr")
        expected_err = stderr_section.content() if stderr_section is not None else b""
        if proc.stderr != expected_err:
            problems.append(diff("stderr", expected_err, proc.stderr))
        if proc.returncode != test.exit:
            if proc.returncode < 0:
                got = "killed by signal %d" % -proc.returncode
            else:
                got = "status %d" % proc.returncode
            problems.append("--- exit: expected status %d, got %s" % (test.exit, got))
        for section in test.sections:
            if section.name == "file":
                target = safe_path(rundir, section.arg)
                expected = section.content()
                if not os.path.isfile(target):
                    problems.append("--- file %s: does not exist" % section.arg)
                    continue
                with open(target, "rb") as f:
                    actual = f.read()
                if actual != expected:
                    problems.append(diff("file " + section.arg, expected, actual))
            elif section.name == "nofile":
                target = safe_path(rundir, section.arg)
                if os.path.lexists(target):
                    problems.append("--- nofile %s: exists" % section.arg)
        if problems:
            raise Failure("\n".join(problems))
    finally:
        if keep:
            print("kept %s (bytecode) and %s (run directory)" % (workdir, rundir))
        else:
            shutil.rmtree(workdir, ignore_errors=True)
            shutil.rmtree(rundir, ignore_errors=True)


def collect(paths):
    files = []
    for path in paths:
        if os.path.isdir(path):
            found = []
            for root, dirs, names in os.walk(path):
                dirs.sort()
                found.extend(os.path.join(root, n) for n in names if n.endswith(".tt"))
            files.extend(sorted(found))
        elif os.path.isfile(path):
            files.append(path)
        else:
            raise FileNotFoundError(path)
    return files


def main():
    parser = argparse.ArgumentParser(description="Run TRUV 4 end-to-end tests (.tt files).")
    parser.add_argument("--bin", required=True,
                        help="directory holding truvvm, truvasm and optionally truvdis")
    parser.add_argument("--keep", action="store_true",
                        help="keep the temporary directories and print their names")
    parser.add_argument("--vm", default="truvvm",
                        help="the machine's program in the --bin directory (default truvvm)")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="print only failures and the summary")
    parser.add_argument("paths", nargs="+", help=".tt files or directories of them")
    opts = parser.parse_args()
    # Turn a termination request into an exception, so that the temporary directories are removed.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    bindir = os.path.abspath(opts.bin)
    global VM_NAME
    VM_NAME = opts.vm
    try:
        files = collect(opts.paths)
    except FileNotFoundError as e:
        print("run_e2e.py: no such file or directory: %s" % e, file=sys.stderr)
        return 2

    passed = failed = skipped = 0
    for path in files:
        try:
            run_test(path, bindir, opts.keep)
        except Skipped as e:
            skipped += 1
            if not opts.quiet:
                print("skip %s (%s)" % (path, e))
        except BadTest as e:
            failed += 1
            print("FAIL %s\n  malformed test file: %s" % (path, e))
        except Failure as e:
            failed += 1
            print("FAIL %s\n%s" % (path, e))
        else:
            passed += 1
            if not opts.quiet:
                print("ok   %s" % path)
        sys.stdout.flush()
    if skipped:
        print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
        if not passed and not failed:
            return 77  # what CTest is told to count as skipped
    else:
        print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
