-- Counting loop with an accumulator: R rounds, each counting i from 0 to N-1
-- and updating acc = i - acc (the accumulator grows by one every two steps).
local R, N = 2, 16000000
local acc = 0
local r = 0
while r < R do
  local i = 0
  while i < N do
    acc = i - acc
    i = i + 1
  end
  r = r + 1
end
io.write(acc, "\n")
