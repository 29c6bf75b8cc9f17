# A long string built by repeated concatenation; the checksum is its length.
import sys


def main():
    N = 42000
    s = ""
    i = 0
    while i < N:
        s = s + "abcd"
        i = i + 1
    sys.stdout.write(f"{len(s)}\n")


main()
