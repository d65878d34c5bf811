local function add3(a, b, c) return a + b + c end
local function twice(x) return x + x end
local sum = 0
local i = 0
while i < 3000000 do
    sum = (sum + add3(i, twice(i), 1)) % 1000003
    i = i + 1
end
return sum
