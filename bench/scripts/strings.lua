local total = 0
for round = 1, 1000 do
    local parts = {}
    local s = ""
    for i = 0, 499 do
        s = s .. "ab" .. i
    end
    total = total + 1
end
return total
