#!/bin/sh
# Assembles a TRUV 4 assembly program and runs it.
#
#   examples/run.sh PROGRAM.tasm [DIR]
#
# Without DIR the program runs in a new temporary directory, removed afterwards. With DIR
# the bytecode (out.trux) is written into DIR and the program runs there, so that it sees
# the files of DIR; out.trux is left in DIR. Standard input and output are the program's,
# and the exit status is the machine's.
#
# The tools are taken from the build directory of the repository (build/), or from the
# directory named by TRUV_BUILD.

set -eu

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 PROGRAM.tasm [DIR]" >&2
    exit 2
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
bin=${TRUV_BUILD:-$repo/build}
for tool in truvasm truvvm; do
    if [ ! -x "$bin/$tool" ]; then
        echo "$0: $bin/$tool not found; build first:" >&2
        echo "  cmake -S $repo -B $repo/build && cmake --build $repo/build -j2" >&2
        exit 2
    fi
done

if [ ! -f "$1" ]; then
    echo "$0: no such file: $1" >&2
    exit 2
fi
source=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")

if [ $# -eq 2 ]; then
    dir=$2
    if [ ! -d "$dir" ]; then
        echo "$0: no such directory: $dir" >&2
        exit 2
    fi
else
    dir=$(mktemp -d "${TMPDIR:-/tmp}/truv-example.XXXXXX")
    trap 'rm -rf "$dir"' EXIT
fi

"$bin/truvasm" -o "$dir/out.trux" "$source"
status=0
(cd "$dir" && exec "$bin/truvvm") || status=$?
exit $status
