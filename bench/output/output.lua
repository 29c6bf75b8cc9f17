-- Many short lines on standard output: the numbers 0 .. N-1, one per line,
-- then the line count.
local N = 4200000
local write = io.write
local i = 0
while i < N do
  write(i)
  write("\n")
  i = i + 1
end
write(i)
write("\n")
