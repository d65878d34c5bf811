local sum = 0
local i = 0
while i < 20000000 do
    sum = (sum + i * 7) % 1000003
    i = i + 1
end
return sum
