-- Append 0 .. N-1 to a list, then fold it element by element: acc = e - acc
-- (an alternating sum, which stays below 2^24).
local N = 6000000
local l = {}
local i = 0
while i < N do
  l[#l + 1] = i
  i = i + 1
end
local acc = 0
for _, e in ipairs(l) do
  acc = e - acc
end
io.write(acc, "\n")
