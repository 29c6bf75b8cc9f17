# Append 0 .. N-1 to a list, then fold it element by element: acc = e - acc
# (an alternating sum, which stays below 2^24).
import sys


def main():
    N = 6000000
    l = []
    i = 0
    while i < N:
        l.append(i)
        i = i + 1
    acc = 0
    for e in l:
        acc = e - acc
    sys.stdout.write(f"{acc}\n")


main()
