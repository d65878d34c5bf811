local h = { "Subject: cheap pills", "From: Someone <a@example.org>", "X-Mailer: thing", "subject: again" }
local hits = 0
for i = 0, 199999 do
    local name, value = string.match(h[i % 4 + 1], "^(%a+): (.*)$")
    if name then
        name = string.lower(name)
        if name == "subject" or name == "from" then hits = hits + #value end
    end
end
return hits
