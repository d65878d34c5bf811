local x = 0.0
local i = 0
while i < 10000000 do
    x = x * 0.5 + 1.25
    i = i + 1
end
return math.floor(x)
