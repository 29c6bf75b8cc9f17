-- A long string built by repeated concatenation; the checksum is its length.
local N = 42000
local s = ""
local i = 0
while i < N do
  s = s .. "abcd"
  i = i + 1
end
io.write(#s, "\n")
