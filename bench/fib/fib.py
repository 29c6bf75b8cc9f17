# Naive recursive Fibonacci.
import sys


def fib(n):
    if n < 2:
        return n
    return fib(n - 1) + fib(n - 2)


sys.stdout.write(f"{fib(35)}\n")
