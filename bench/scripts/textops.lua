local line = "Received: from mail.example.org (mail.example.org [192.0.2.7]), by mx.example.net"
local function split(s, sep, index)
    local field, start = 0, 1
    while true do
        local at = string.find(s, sep, start, true)
        if field == index then return string.sub(s, start, at and at - 1 or #s) end
        if not at then return "" end
        start = at + 1
        field = field + 1
    end
end
local total = 0
for i = 0, 99999 do
    total = total + #string.sub(line, 11, 30)
    total = total + #(string.gsub(line, "example", "ex"))
    total = total + #split(line, ",", 1)
end
return total
