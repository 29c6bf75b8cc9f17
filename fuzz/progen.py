#!/usr/bin/env python3
"""Random programs in the assembly text, for differential runs (differential.py).

Usage: progen.py SEED [--rounds N]

Prints one program. The same seed always gives the same program. Unlike the fuzz targets'
inputs, these programs are mostly well typed: each variable keeps one kind of value (a number,
a text, a list, a dictionary, an object or a pointer) in all but a few percent of its stores,
so that a program usually runs for a while before anything fails, through function calls,
nested IF, WHILE and FOREACH blocks, contexts, method calls, pointers, copies and globals, and
then prints every variable. Some fail on purpose: the error report, with its stacks, must be
the same too.

With --rounds N above 1 the main part runs N times in a loop, so that every position in it
runs again after it has run once.
"""

import argparse
import random

WILD = 0.04  # the share of choices that ignore a variable's kind
NAMES = ["a", "b", "c", "x", "y", "i", "j", "s", "p"]
KIND = {"a": "L", "b": "L", "c": "D", "x": "D", "y": "O", "i": "N", "j": "N", "s": "S", "p": "P"}
GLOBALS = ["g", "h"]
BUDGET = 500  # expressions and statements per program, roughly
WRITE = "enterattr stdout\nloadattr write\nleave\ncall 1"

PROLOGUE = """pushconst [1, 2, 3]
storelocal a
pushconst ["u", [4]]
storelocal b
pushconst dict{"k": 1, "j": [2]}
storelocal c
pushconst dict{}
storelocal x
pushconst object
storelocal y
pushconst 4
storelocal i
pushconst 2
storelocal j
pushconst "str"
storelocal s
ptrlocal a
storelocal p
pushconst 1
storeglobal g
pushconst 2
storeglobal h"""


class Generator:
    def __init__(self, seed):
        self.r = random.Random(seed)
        self.lines = []
        self.depth = 0  # indentation of the block being written
        self.spent = 0
        self.functions = []  # (name, argument count)

    def emit(self, text):
        for line in text.split("\n"):
            self.lines.append("    " * self.depth + line)

    def name(self, kind):
        """A variable of the kind, or now and then any variable."""
        names = [n for n in NAMES if KIND[n] == kind]
        return self.r.choice(names) if self.r.random() > WILD else self.r.choice(NAMES)

    def numconst(self):
        r = self.r
        if r.random() < 0.8:
            return str(r.choice([0, 1, 2, 3, -1, 7, 100, 5, 9]))
        if r.random() < 0.5:
            return str(r.choice([2147483647, -2147483648, 16777216, 46341, 65536]))
        return r.choice(["0.5", "1.0", "2.25", "3.5", "0.0"])

    def number(self, nest=0):
        """Pushes one value, mostly a number."""
        r = self.r
        self.spent += 1
        c = r.random()
        if nest > 2 or self.spent > BUDGET:
            c *= 0.45
        if c < 0.2:
            self.emit("pushconst " + self.numconst())
        elif c < 0.35:
            self.emit("loadlocal " + self.name("N"))
        elif c < 0.45:
            self.emit("loadglobal " + r.choice(GLOBALS))
        elif c < 0.65:
            self.number(nest + 1)
            self.number(nest + 1)
            ops = ["add", "sub", "mul", "add", "sub", "div", "eq", "lt", "gt", "le", "ge", "and", "or", "xor", "nor"]
            self.emit(r.choice(ops))
        elif c < 0.68:
            self.number(nest + 1)
            self.emit("not")
        elif c < 0.75:
            measured = r.choice([self.name("L"), self.name("D"), self.name("S")])
            self.emit("loadlocal %s\nloadlocal sizeof\ncall 1" % measured)
        elif c < 0.8:
            self.value(nest + 1)
            self.emit("enterattr %s\nloadattr %s\nleave\ncall 1" % (self.name("L"), r.choice(["contains", "find"])))
        elif c < 0.84:
            self.value(nest + 1)
            self.emit("enterattr %s\nloadattr contains\nleave\ncall 1" % self.name("D"))
        elif c < 0.9 and self.functions:
            self.call(nest)
        elif c < 0.93:
            self.number(nest + 1)
            self.emit("dup\npop")
        elif c < 0.96:
            self.number(nest + 1)
            self.emit("stash\nunstash")
        else:
            self.emit("loadlocal " + r.choice(["arg0", "arg1", "ELEMENT"]))

    def call(self, nest):
        function, count = self.r.choice(self.functions)
        for _ in range(count):
            self.number(nest + 1)
        self.emit("loadlocal %s\ncall %d" % (function, count))

    def value(self, nest=0):
        """Pushes one value of any kind."""
        r = self.r
        c = r.random()
        if c < 0.5:
            self.number(nest)
        elif c < 0.6:
            self.emit("pushconst " + r.choice(['"s"', '"ab"', '""', '"k"', '"j"']))
        elif c < 0.7:
            self.emit("loadlocal " + r.choice(NAMES))
        elif c < 0.75:
            constants = ["[]", "[1, 2]", '["a", [3]]', 'dict{"k": 1}', "object", "{ pushconst 5 }"]
            self.emit("pushconst " + r.choice(constants))
        elif c < 0.8:
            self.emit("pushconst %d\nenterattr %s\nloadattr get\nleave\ncall 1" % (r.randint(0, 2), self.name("L")))
        elif c < 0.85:
            key = r.choice(['"k"', '"j"'])
            self.emit("pushconst %s\nenterattr %s\nloadattr get\nleave\ncall 1" % (key, self.name("D")))
        elif c < 0.88:
            self.emit("enterattr %s\nloadattr get\nleave\ncall 0" % self.name("P"))
        elif c < 0.91:
            self.emit("enterattr %s\nloadattr %s\nleave\ncall 0" % (self.name("D"), r.choice(["keys", "values"])))
        elif c < 0.94:
            self.emit("enterattr %s\nloadattr %s\nleave" % (self.name("O"), r.choice(["p", "q"])))
        elif c < 0.97:
            self.value(nest + 1)
            self.value(nest + 1)
            self.emit("add")
        else:
            self.emit("loadlocal %s\nloadlocal %s\nadd" % (self.name("S"), self.name("S")))

    def block(self, nest, low=1, high=3):
        self.depth += 1
        for _ in range(self.r.randint(low, high)):
            self.statement(nest + 1)
        self.depth -= 1

    def store(self):
        r = self.r
        v = r.choice(NAMES)
        kind = KIND[v]
        wild = r.random() < WILD
        if kind == "N":
            self.number()
        elif wild:
            self.value()
        elif kind == "L":
            if r.random() < 0.7:
                self.emit("pushconst " + r.choice(["[]", "[1, 2]", '[[1], "a"]', "[3, 4, 5]"]))
            else:
                self.emit("loadlocal " + self.name("L"))
        elif kind == "D":
            if r.random() < 0.7:
                self.emit("pushconst " + r.choice(["dict{}", 'dict{"k": 1}', 'dict{"k": [2], "j": 1}']))
            else:
                self.emit("loadlocal " + self.name("D"))
        elif kind == "O":
            self.emit("pushconst object")
        elif kind == "S":
            self.emit(r.choice(['pushconst "t"', 'loadlocal s\npushconst "u"\nadd', 'pushconst "v"\nloadlocal s\nadd']))
        else:
            pointers = ["ptrlocal " + r.choice(NAMES), "ptrglobal " + r.choice(GLOBALS), "ptrattr " + r.choice(NAMES)]
            self.emit(r.choice(pointers))
        self.emit("storelocal " + v)

    def methodcall(self):
        r = self.r
        m = r.random()
        if m < 0.45:
            self.value()
            self.emit("enterattr %s\nloadattr append\nleave\ncall 1" % self.name("L"))
        elif m < 0.6:
            self.value()
            self.emit("pushconst %d\nenterattr %s\nloadattr set\nleave\ncall 2" % (r.randint(0, 2), self.name("L")))
        elif m < 0.8:
            self.value()
            key = r.choice(['"k"', '"j"', "1"])
            self.emit("pushconst %s\nenterattr %s\nloadattr set\nleave\ncall 2" % (key, self.name("D")))
        elif m < 0.9:
            self.value()
            self.emit("enterattr %s\nloadattr set\nleave\ncall 1" % self.name("P"))
        else:
            self.emit("pushconst 0\nenterattr %s\nloadattr remove\nleave\ncall 1" % self.name("L"))

    def statement(self, nest=0):
        r = self.r
        self.spent += 1
        c = r.random()
        if self.spent > BUDGET:
            c *= 0.3
        if c < 0.2:
            self.store()
        elif c < 0.26:
            self.number()
            self.emit("storeglobal " + r.choice(GLOBALS))
        elif c < 0.38:
            self.value()
            self.emit(WRITE + '\npushconst " "\n' + WRITE)
        elif c < 0.46 and nest < 3:
            self.number()
            self.emit("if:")
            self.block(nest)
        elif c < 0.52 and nest < 2:
            counter = "n%d" % nest
            self.emit("pushconst %d\nstorelocal %s\npushconst 1\nwhile:" % (r.randint(1, 3), counter))
            self.block(nest)
            self.depth += 1
            self.emit("pushconst 1\nloadlocal %s\nsub\nstorelocal %s\npushconst 0\nloadlocal %s\ngt" % ((counter,) * 3))
            self.depth -= 1
        elif c < 0.57 and nest < 2:
            self.emit("loadlocal " + r.choice([self.name("L"), self.name("D")]))
            self.emit("foreach:")
            self.block(nest, 1, 2)
        elif c < 0.65:
            self.methodcall()
        elif c < 0.71:
            self.value()
            self.emit("enterattr %s\nstoreattr %s\nleave" % (self.name("O"), r.choice(["p", "q"])))
        elif c < 0.74:
            self.value()
            self.emit("ptrtop\nstorelocal p")
        elif c < 0.79 and self.functions:
            self.call(1)
            self.emit("pop")
        elif c < 0.82:
            source, method, target = self.name("L"), r.choice(["get", "append"]), r.choice(["f9", "y"])
            self.emit("loadlocal %s\nentertop\nloadattr %s\nleave\nstorelocal %s" % (source, method, target))
        elif c < 0.85:
            self.emit("pushconst 0\nenterattr %s\nloadattr get\nleave\ncall 1" % self.name("L"))
            kind = r.choice(['"BUILTIN_STRING"', '"BUILTIN_INT"', '"BUILTIN_FLOAT"'])
            self.emit("pushconst %s\nloadlocal varconv\ncall 2" % kind)
        elif c < 0.88:
            self.value()
            self.emit("pop")
        elif c < 0.91:
            self.emit("enterattr " + self.name("O"))
            self.block(nest, 1, 2)
            self.emit("leave")
        else:
            self.emit(r.choice(["dictlocals", "dictglobals", "nop", "dictattrs"]))

    def program(self, rounds):
        r = self.r
        self.emit(PROLOGUE)
        for i in range(r.randint(0, 3)):
            count = r.randint(0, 2)
            self.emit("pushconst:")
            self.depth += 1
            for _ in range(r.randint(1, 4)):
                self.statement(1)
            if r.random() < 0.85:
                self.number(1)
            self.depth -= 1
            self.emit("storelocal f%d" % i)
            self.functions.append(("f%d" % i, count))
        if rounds > 1:
            self.emit("pushconst %d\nstorelocal rounds\npushconst 1\nwhile:" % rounds)
            self.block(0, 3, 12)
            self.depth += 1
            self.emit("pushconst 1\nloadlocal rounds\nsub\nstorelocal rounds\npushconst 0\nloadlocal rounds\ngt")
            self.depth -= 1
        else:
            for _ in range(r.randint(3, 16)):
                self.statement()
        for v in NAMES:
            self.emit("loadlocal %s\n%s\npushconst \"|\"\n%s" % (v, WRITE, WRITE))
        return "\n".join(self.lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description="Prints a random program in the assembly text.")
    parser.add_argument("seed", type=int)
    parser.add_argument("--rounds", type=int, default=1, help="run the main part this many times (default 1)")
    args = parser.parse_args()
    print(Generator(args.seed).program(args.rounds), end="")


if __name__ == "__main__":
    main()
