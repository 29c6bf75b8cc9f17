# Counting loop with an accumulator: R rounds, each counting i from 0 to N-1
# and updating acc = i - acc (the accumulator grows by one every two steps).
import sys


def main():
    R, N = 2, 16000000
    acc = 0
    r = 0
    while r < R:
        i = 0
        while i < N:
            acc = i - acc
            i = i + 1
        r = r + 1
    sys.stdout.write(f"{acc}\n")


main()
