# A small function called in a loop: acc = f(i, acc) with f(a, b) = a - b + 1.
import sys


def f(a, b):
    return a - b + 1


def main():
    N = 16000000
    acc = 0
    i = 0
    while i < N:
        acc = f(i, acc)
        i = i + 1
    sys.stdout.write(f"{acc}\n")


main()
