local a = {}
for i = 0, 999 do a[i] = 0 end
local sum = 0
for round = 1, 3000 do
    local i = 0
    while i < 1000 do
        a[i] = a[i] + i
        sum = sum + a[i] % 7
        i = i + 1
    end
end
return sum
