# A dictionary of 400 string keys ("aa" .. "tt", two letters of a 20-letter
# alphabet): each key is set to its position, then all keys are read back,
# R rounds over the key list, folding the values into acc = value - acc
# (an alternating sum, which stays below 2^24).
import sys


def main():
    R = 48000
    letters = ["a", "b", "c", "d", "e", "f", "g", "h", "i", "j",
               "k", "l", "m", "n", "o", "p", "q", "r", "s", "t"]
    d = {}
    keys = []
    n = 0
    for first in letters:
        for second in letters:
            key = first + second
            d[key] = n
            keys.append(key)
            n = n + 1
    acc = 0
    r = 0
    while r < R:
        for key in keys:
            acc = d[key] - acc
        r = r + 1
    sys.stdout.write(f"{acc}\n")


main()
