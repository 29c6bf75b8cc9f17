-- A dictionary of 400 string keys ("aa" .. "tt", two letters of a 20-letter
-- alphabet): each key is set to its position, then all keys are read back,
-- R rounds over the key list, folding the values into acc = value - acc
-- (an alternating sum, which stays below 2^24).
local R = 48000
local letters = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j",
                 "k", "l", "m", "n", "o", "p", "q", "r", "s", "t"}
local d = {}
local keys = {}
local n = 0
for _, first in ipairs(letters) do
  for _, second in ipairs(letters) do
    local key = first .. second
    d[key] = n
    keys[#keys + 1] = key
    n = n + 1
  end
end
local acc = 0
local r = 0
while r < R do
  for _, key in ipairs(keys) do
    acc = d[key] - acc
  end
  r = r + 1
end
io.write(acc, "\n")
