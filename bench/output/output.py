# Many short lines on standard output: the numbers 0 .. N-1, one per line,
# then the line count.
import sys


def main():
    N = 4200000
    write = sys.stdout.write
    i = 0
    while i < N:
        write(str(i))
        write("\n")
        i = i + 1
    write(str(i))
    write("\n")


main()
