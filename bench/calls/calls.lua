-- A small function called in a loop: acc = f(i, acc) with f(a, b) = a - b + 1.
local function f(a, b)
  return a - b + 1
end
local N = 16000000
local acc = 0
local i = 0
while i < N do
  acc = f(i, acc)
  i = i + 1
end
io.write(acc, "\n")
