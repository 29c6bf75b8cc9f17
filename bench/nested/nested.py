# Loops nested three deep with two IF blocks in the innermost body.
import sys


def main():
    A, B, C = 320, 320, 320
    c1, c2 = 0, 0
    i = 0
    while i < A:
        j = 0
        while j < B:
            k = 0
            while k < C:
                if j < k:
                    c1 = c1 + 1
                if i == k:
                    c2 = c2 + 1
                k = k + 1
            j = j + 1
        i = i + 1
    sys.stdout.write(f"{c1} {c2}\n")


main()
