local m = {}
for i = 0, 1999 do m["k" .. i] = i end
local sum = 0
for round = 1, 500 do
    for i = 0, 1999 do
        sum = (sum + m["k" .. i]) % 1000003
    end
end
return sum
