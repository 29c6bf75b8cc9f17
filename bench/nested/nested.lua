-- Loops nested three deep with two IF blocks in the innermost body.
local A, B, C = 320, 320, 320
local c1, c2 = 0, 0
local i = 0
while i < A do
  local j = 0
  while j < B do
    local k = 0
    while k < C do
      if j < k then c1 = c1 + 1 end
      if i == k then c2 = c2 + 1 end
      k = k + 1
    end
    j = j + 1
  end
  i = i + 1
end
io.write(c1, " ", c2, "\n")
