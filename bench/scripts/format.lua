local total = 0
for i = 0, 299999 do
    local s = string.format("%d-%s-%5.2f|%x", i, "ab", 1.5, i)
    total = total + #s
end
return total
