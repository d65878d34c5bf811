-- MD5 in plain Lua 5.4 (the language has no digest built in).
local K, S = {}, {7,12,17,22,7,12,17,22,7,12,17,22,7,12,17,22,5,9,14,20,5,9,14,20,5,9,14,20,5,9,14,20,
                  4,11,16,23,4,11,16,23,4,11,16,23,4,11,16,23,6,10,15,21,6,10,15,21,6,10,15,21,6,10,15,21}
for i = 0, 63 do K[i + 1] = math.floor(math.abs(math.sin(i + 1)) * 2^32) & 0xffffffff end
local function rotl(x, c) return ((x << c) | (x >> (32 - c))) & 0xffffffff end
local function md5(msg)
    local len = #msg
    msg = msg .. "\128" .. string.rep("\0", (55 - len) % 64) .. string.pack("<I8", len * 8)
    local a0, b0, c0, d0 = 0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476
    for chunk = 1, #msg, 64 do
        local M = { string.unpack("<I4I4I4I4I4I4I4I4I4I4I4I4I4I4I4I4", msg, chunk) }
        local A, B, C, D = a0, b0, c0, d0
        for i = 0, 63 do
            local F, g
            if i < 16 then F = (B & C) | (~B & D); g = i
            elseif i < 32 then F = (D & B) | (~D & C); g = (5 * i + 1) % 16
            elseif i < 48 then F = B ~ C ~ D; g = (3 * i + 5) % 16
            else F = C ~ (B | ~D); g = (7 * i) % 16 end
            F = (F + A + K[i + 1] + M[g + 1]) & 0xffffffff
            A, D, C = D, C, B
            B = (B + rotl(F, S[i + 1])) & 0xffffffff
        end
        a0, b0, c0, d0 = (a0 + A) & 0xffffffff, (b0 + B) & 0xffffffff, (c0 + C) & 0xffffffff, (d0 + D) & 0xffffffff
    end
    return string.format("%08x%08x%08x%08x", string.unpack(">I4", string.pack("<I4", a0)), string.unpack(">I4", string.pack("<I4", b0)),
                         string.unpack(">I4", string.pack("<I4", c0)), string.unpack(">I4", string.pack("<I4", d0)))
end
local total = 0
for i = 0, 99999 do
    local d = md5("192.0.2.1\2sender@example.org\2rcpt" .. i)
    total = total + tonumber(string.sub(d, 1, 2), 16)
end
return total
