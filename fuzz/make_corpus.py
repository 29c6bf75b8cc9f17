#!/usr/bin/env python3
"""Makes fuzzing seeds from the end-to-end test programs.

Usage:
    make_corpus.py --bin DIR [--out DIR] [--max-size BYTES]

Every tests/e2e/**/*.tt program is turned into bytecode, with DIR/truvasm for assembly text or
from the hex of its `--- raw` section, and written to OUT/vm/NAME and OUT/asm/NAME (the two
targets take the same kind of input: bytes); the assembly text itself goes to OUT/asmtext/NAME. NAME is the test's path with "/" as "_". OUT is
fuzz/corpus-e2e by default, which git ignores; programs larger than the size limit (default
65536 bytes) are left out, as are programs that do not assemble.
"""

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def split_tt(path):
    """Returns (program text, raw hex lines or None) of a .tt file."""
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    program = []
    raw = None
    section = None
    for line in lines:
        if line.startswith(b"--- "):
            section = line[4:].split()[0] if line[4:].split() else b""
            if section == b"raw":
                raw = []
            continue
        if section is None:
            program.append(line)
        elif section == b"raw":
            raw.append(line)
    return b"\n".join(program) + b"\n", raw


def decode_hex(lines):
    digits = []
    for line in lines:
        line = line.split(b"#", 1)[0]
        digits.append(b"".join(line.split()))
    return bytes.fromhex(b"".join(digits).decode("ascii"))


def assemble(truvasm, text, workdir):
    src = os.path.join(workdir, "in.tasm")
    out = os.path.join(workdir, "out.trux")
    with open(src, "wb") as f:
        f.write(text)
    if os.path.exists(out):
        os.remove(out)
    r = subprocess.run([truvasm, "-o", out, src], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if r.returncode != 0:
        return None
    with open(out, "rb") as f:
        return f.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="directory holding truvasm")
    parser.add_argument("--out", default=os.path.join(HERE, "corpus-e2e"))
    parser.add_argument("--max-size", type=int, default=65536)
    args = parser.parse_args()
    truvasm = os.path.join(args.bin, "truvasm")
    if not os.access(truvasm, os.X_OK):
        sys.exit("make_corpus.py: no truvasm in %s" % args.bin)
    e2e = os.path.join(ROOT, "tests", "e2e")
    written = skipped = 0
    with tempfile.TemporaryDirectory() as work:
        for dirpath, _, files in sorted(os.walk(e2e)):
            for name in sorted(files):
                if not name.endswith(".tt"):
                    continue
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, e2e)[:-3].replace(os.sep, "_")
                text, raw = split_tt(path)
                try:
                    data = decode_hex(raw) if raw is not None else assemble(truvasm, text, work)
                except ValueError:
                    data = None
                if data is None or len(data) > args.max_size:
                    skipped += 1
                    continue
                for target in ("vm", "asm"):
                    os.makedirs(os.path.join(args.out, target), exist_ok=True)
                    with open(os.path.join(args.out, target, rel), "wb") as f:
                        f.write(data)
                if raw is None and len(text) <= args.max_size:
                    os.makedirs(os.path.join(args.out, "asmtext"), exist_ok=True)
                    with open(os.path.join(args.out, "asmtext", rel), "wb") as f:
                        f.write(text)
                written += 1
    print("make_corpus.py: %d programs written to %s/{vm,asm,asmtext}, %d left out" % (written, args.out, skipped))


if __name__ == "__main__":
    main()
