-- zvgm.lua - Wireshark dissector for the group port of the zvgm group manager
-- (UDP 7009 unless the preference says otherwise): announcements, token,
-- terminal and server queries and replies, and the signature trailer, checked
-- when the group's secret is given in the preferences. A second secret (the
-- one a group accepts beside the first while it moves to a new one) may be
-- given too; the verdict then says which of the two a message was signed
-- with.
--
-- Every message is text: lines of blank-separated key=value pairs whose first
-- key names the message (host, tokenQ, tokenR, termQ, termR, serverQ,
-- serverR), optionally followed by "#sig=" and 40 hex digits, the SHA-1 of
-- the secret's bytes followed by every byte before the "#".
-- Members read a datagram as a C string: up to its first NUL byte. So does
-- this dissector; what follows a NUL is shown as ignored bytes, never as
-- lines or a trailer (a text extended behind SHA-1's padding, which always
-- holds a NUL, carries lines and a trailer there that no member reads).
-- Addresses come in two hexadecimal forms: announcements write 10.0.0.1 as
-- a000001 (first octet most significant); the at key of queries and replies
-- writes it as 100000a (first octet least significant).

local zvgm = Proto("zvgm", "zvgm group manager")

-- ---- Preferences ---------------------------------------------------------
zvgm.prefs.port = Pref.uint("UDP port", 7009, "The group port (gmport)")
zvgm.prefs.secret_file = Pref.string("Secret file", "",
  "File holding the group's secret, read byte for byte (takes precedence)")
zvgm.prefs.secret = Pref.string("Secret", "",
  "The group's secret as text; \\n stands for a newline, \\\\ for a backslash")
zvgm.prefs.secret2_file = Pref.string("Second secret file", "",
  "File holding the second secret (default: the secret file's name followed by .2, when there is one)")
zvgm.prefs.secret2 = Pref.string("Second secret", "",
  "The second secret as text, as for Secret")

-- ---- Fields ----------------------------------------------------------------
local F = {}
local function field(key, ctor, name, ...)
  F[key] = ctor("zvgm." .. key, name, ...)
end
field("kind", ProtoField.string, "Message kind")
-- announcement, host line
field("host.name", ProtoField.string, "Host name")
field("host.addr", ProtoField.ipv4, "Host address")
field("host.addr_hex", ProtoField.string, "Host address as sent (first octet most significant)")
field("host.time", ProtoField.int32, "Sender's clock (s since the epoch)")
field("host.numifs", ProtoField.uint32, "Interfaces")
field("host.flags", ProtoField.uint32, "Host flags", base.HEX)
field("host.flags.router", ProtoField.bool, "Router", 32, nil, 0x1)
field("host.flags.lan_ok", ProtoField.bool, "Accepts LAN clients", 32, nil, 0x2)
field("host.flags.trusted", ProtoField.bool, "Trusted (sender's claim, ignored)", 32, nil, 0x4)
field("host.flags.offline", ProtoField.bool, "Offline", 32, nil, 0x8)
field("host.cpus", ProtoField.uint32, "Processors")
field("host.clock", ProtoField.uint32, "Mean processor clock (MHz)")
field("host.period", ProtoField.uint32, "Keep-alive interval (s)")
field("host.starttime", ProtoField.int32, "Manager started (s since the epoch)")
field("host.load", ProtoField.double, "Load")
-- announcement, interface lines
field("if.name", ProtoField.string, "Interface name")
field("if.ip", ProtoField.ipv4, "Interface address")
field("if.ip_hex", ProtoField.string, "Interface address as sent")
field("if.mask", ProtoField.ipv4, "Netmask")
field("if.prefix", ProtoField.uint8, "Prefix length")
field("if.bcast", ProtoField.ipv4, "Broadcast address")
field("if.flags", ProtoField.uint32, "Interface flags", base.HEX)
field("if.flags.lan", ProtoField.bool, "LAN (clear: interconnect)", 32, nil, 0x1)
-- announcement sessions line, and the token reply's counts
field("sessions", ProtoField.int32, "Sessions")
field("idles", ProtoField.int32, "Idle sessions")
field("load", ProtoField.double, "Load")
-- queries and replies
field("itoken", ProtoField.string, "Itoken")
field("ctoken", ProtoField.string, "Ctoken")
field("term", ProtoField.string, "Terminal id")
field("at", ProtoField.ipv4, "Asked address")
field("at_hex", ProtoField.string, "Asked address as sent (first octet least significant)")
field("hostix", ProtoField.int32, "Query index")
field("time", ProtoField.int32, "Session file time (responder's clock)")
field("dpy", ProtoField.int32, "Display (-1 none, -2 idle)")
field("has", ProtoField.int32, "Has the terminal")
field("seq", ProtoField.int32, "Sequence number")
field("server", ProtoField.ipv4, "Server address")
field("server_hex", ProtoField.string, "Server address as sent")
field("port", ProtoField.uint16, "Group port")
field("pair", ProtoField.string, "Other pair")
-- signature trailer
field("sig", ProtoField.string, "Signature digest")
field("sig.status", ProtoField.string, "Signature verdict")
field("sig.valid", ProtoField.bool, "Signature valid")
field("sig.expected", ProtoField.string, "Digest with the given secret")
field("sig.secret", ProtoField.string, "Secret it verifies with (first or second)")
-- what no member reads
field("ignored", ProtoField.bytes, "Ignored bytes (after NUL)")

local flist = {}
for _, f in pairs(F) do flist[#flist + 1] = f end
zvgm.fields = flist

local ex_bad = ProtoExpert.new("zvgm.sig.bad", "Signature does not verify with the given secret",
  expert.group.SECURITY, expert.severity.WARN)
local ex_unsigned = ProtoExpert.new("zvgm.sig.none", "Unsigned message",
  expert.group.SECURITY, expert.severity.NOTE)
local ex_value = ProtoExpert.new("zvgm.value.bad", "Value not in the expected form",
  expert.group.MALFORMED, expert.severity.WARN)
local ex_ignored = ProtoExpert.new("zvgm.ignored.bytes",
  "Bytes after a NUL, which members ignore (an extended or forged message?)",
  expert.group.SECURITY, expert.severity.WARN)
zvgm.experts = { ex_bad, ex_unsigned, ex_value, ex_ignored }

-- ---- SHA-1 (not every Wireshark gives Lua a digest) ------------------------
local b = bit32
if b == nil then
  -- LuaBitOp gives signed results; bring them back to 0 .. 2^32 - 1.
  local lb = bit
  local function u(x) return x % 4294967296 end
  b = {
    band = function(...) return u(lb.band(...)) end,
    bor = function(...) return u(lb.bor(...)) end,
    bxor = function(...) return u(lb.bxor(...)) end,
    bnot = function(x) return u(lb.bnot(x)) end,
    lrotate = function(x, n) return u(lb.rol(x, n)) end,
  }
end

local function sha1(msg)
  local h0, h1, h2, h3, h4 = 0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0
  local ml = #msg
  msg = msg .. "\128" .. string.rep("\0", (55 - ml) % 64)
  local bits = ml * 8
  local tail = {}
  for i = 7, 0, -1 do
    tail[#tail + 1] = string.char(math.floor(bits / 2 ^ (8 * i)) % 256)
  end
  msg = msg .. table.concat(tail)
  local w = {}
  for chunk = 1, #msg, 64 do
    for i = 0, 15 do
      local a1, a2, a3, a4 = msg:byte(chunk + 4 * i, chunk + 4 * i + 3)
      w[i] = ((a1 * 256 + a2) * 256 + a3) * 256 + a4
    end
    for i = 16, 79 do
      w[i] = b.lrotate(b.bxor(w[i - 3], w[i - 8], w[i - 14], w[i - 16]), 1)
    end
    local a, bb, c, d, e = h0, h1, h2, h3, h4
    for i = 0, 79 do
      local f, k
      if i < 20 then
        f = b.bor(b.band(bb, c), b.band(b.bnot(bb), d)); k = 0x5A827999
      elseif i < 40 then
        f = b.bxor(bb, c, d); k = 0x6ED9EBA1
      elseif i < 60 then
        f = b.bor(b.band(bb, c), b.band(bb, d), b.band(c, d)); k = 0x8F1BBCDC
      else
        f = b.bxor(bb, c, d); k = 0xCA62C1D6
      end
      local t = (b.lrotate(a, 5) + f + e + k + w[i]) % 4294967296
      e, d, c, bb, a = d, c, b.lrotate(bb, 30), a, t
    end
    h0 = (h0 + a) % 4294967296
    h1 = (h1 + bb) % 4294967296
    h2 = (h2 + c) % 4294967296
    h3 = (h3 + d) % 4294967296
    h4 = (h4 + e) % 4294967296
  end
  return string.format("%08x%08x%08x%08x%08x", h0, h1, h2, h3, h4)
end

-- A secret as a pair of preferences gives it, the file taking precedence;
-- nil when neither is set (or, with optional, when the file is not there).
local function secret_from(path, text, optional)
  if path ~= nil and path ~= "" then
    local fh = io.open(path, "rb")
    if fh == nil then
      if optional then return nil end
      return nil, "secret file " .. path .. " cannot be read"
    end
    local s = fh:read("*a")
    fh:close()
    return s
  end
  if text == nil or text == "" then return nil end
  return (text:gsub("\\(.)", function(c)
    if c == "n" then return "\n" elseif c == "t" then return "\t" end
    return c
  end))
end

-- The first secret; nil and why when none can be had.
local function secret()
  return secret_from(zvgm.prefs.secret_file, zvgm.prefs.secret, false)
end

-- The second secret: its own preferences, else the file beside the first
-- secret's (its name followed by ".2") when there is one, as members take it.
local function second_secret()
  local path, text = zvgm.prefs.secret2_file, zvgm.prefs.secret2
  if (path == nil or path == "") and (text == nil or text == "") then
    local first = zvgm.prefs.secret_file
    if first == nil or first == "" then return nil end
    return secret_from(first .. ".2", nil, true)
  end
  return secret_from(path, text, false)
end

-- ---- Values ---------------------------------------------------------------
local function hexnum(s)
  if s == nil or not s:match("^%x+$") or #s > 8 then return nil end
  return tonumber(s, 16)
end

local function decnum(s)
  if s == nil or not s:match("^%-?%d+$") then return nil end
  return tonumber(s)
end

local function dotted(v)
  return string.format("%d.%d.%d.%d", math.floor(v / 16777216) % 256,
    math.floor(v / 65536) % 256, math.floor(v / 256) % 256, v % 256)
end

-- 10.0.0.1 travels in an at key as 100000a: the bytes in the other order.
local function swapped(v)
  local o1, o2, o3, o4 = v % 256, math.floor(v / 256) % 256,
    math.floor(v / 65536) % 256, math.floor(v / 16777216) % 256
  return ((o1 * 256 + o2) * 256 + o3) * 256 + o4
end

local function prefix(mask)
  local n = 0
  while mask >= 2147483648 do
    n = n + 1
    mask = (mask - 2147483648) * 2
  end
  return n
end

-- Adds a value of the given kind under tree for the pair p ({key, val, vrange}).
local function add_value(tree, p, fld, kind)
  local r, v = p.vrange, p.val
  if kind == "string" then
    return tree:add(fld, r, v)
  end
  local n
  if kind == "hex" or kind == "addr" or kind == "at" then n = hexnum(v) else n = decnum(v) end
  if kind == "double" then n = tonumber(v) end
  if n == nil then
    local it = tree:add(F.pair, r, p.key .. "=" .. v)
    it:add_proto_expert_info(ex_value, p.key .. " is not a number of the expected form")
    return it
  end
  if kind == "addr" then
    return tree:add(fld, r, Address.ip(dotted(n)))
  elseif kind == "at" then
    return tree:add(fld, r, Address.ip(dotted(swapped(n))))
  end
  return tree:add(fld, r, n)
end

-- What each message and line kind carries: key -> {field, kind, hex field}.
local keys = {
  host = {
    addr = { F["host.addr"], "addr", F["host.addr_hex"] },
    time = { F["host.time"], "dec" },
    numifs = { F["host.numifs"], "dec" },
    flags = { F["host.flags"], "hex", nil,
      { F["host.flags.router"], F["host.flags.lan_ok"], F["host.flags.trusted"],
        F["host.flags.offline"] } },
    cpus = { F["host.cpus"], "dec" },
    clock = { F["host.clock"], "dec" },
    period = { F["host.period"], "dec" },
    starttime = { F["host.starttime"], "dec" },
    load = { F["host.load"], "double" },
  },
  interface = {
    ip = { F["if.ip"], "addr", F["if.ip_hex"] },
    mask = { F["if.mask"], "addr" },
    bcast = { F["if.bcast"], "addr" },
    flags = { F["if.flags"], "hex", nil, { F["if.flags.lan"] } },
  },
  sessions = { idles = { F.idles, "dec" } },
  tokenQ = { at = { F.at, "at", F.at_hex }, hostix = { F.hostix, "dec" },
             ctoken = { F.ctoken, "string" } },
  tokenR = { at = { F.at, "at", F.at_hex }, hostix = { F.hostix, "dec" },
             time = { F.time, "dec" }, dpy = { F.dpy, "dec" }, load = { F.load, "double" },
             sessions = { F.sessions, "dec" }, idles = { F.idles, "dec" },
             ctoken = { F.ctoken, "string" } },
  termQ = { at = { F.at, "at", F.at_hex }, hostix = { F.hostix, "dec" } },
  termR = { at = { F.at, "at", F.at_hex }, hostix = { F.hostix, "dec" }, has = { F.has, "dec" } },
  serverQ = {},
  serverR = { port = { F.port, "dec" }, seq = { F.seq, "dec" } },
}

-- The first pair of each line: its own field.
local first = {
  host = { F["host.name"], "string" },
  interface = { F["if.name"], "string" },
  sessions = { F.sessions, "dec" },
  tokenQ = { F.itoken, "string" },
  tokenR = { F.itoken, "string" },
  termQ = { F.term, "string" },
  termR = { F.term, "string" },
  serverQ = { F.seq, "dec" },
  serverR = { F.server, "addr", F.server_hex },
}

local names = {
  host = "Announcement", tokenQ = "Token query", tokenR = "Token reply",
  termQ = "Terminal query", termR = "Terminal reply", serverQ = "Server query",
  serverR = "Server reply",
}

-- Splits one line (absolute offset start in the buffer) into pairs as the
-- group's framing does: runs of white space separate tokens, the key ends at
-- the first "=", the value starts after the last one.
local function pairs_of(tvb, text, start)
  local out = {}
  local pos = 1
  while true do
    local s, e = text:find("[^ \t\r\v\f]+", pos)
    if s == nil then break end
    local tok = text:sub(s, e)
    local eq1 = tok:find("=", 1, true)
    local key, val, voff = tok, "", e + 1
    if eq1 ~= nil then
      key = tok:sub(1, eq1 - 1)
      local last = eq1
      while true do
        local nx = tok:find("=", last + 1, true)
        if nx == nil then break end
        last = nx
      end
      val = tok:sub(last + 1)
      voff = s + last
    end
    local vr
    if #val > 0 then vr = tvb(start + voff - 1, #val) else vr = tvb(start + e - 1, 1) end
    out[#out + 1] = { key = key, val = val, vrange = vr, range = tvb(start + s - 1, e - s + 1) }
    pos = e + 1
  end
  return out
end

local function add_pair(tree, p, form)
  local it = add_value(tree, p, form[1], form[2])
  if form[3] ~= nil then tree:add(form[3], p.vrange, p.val) end
  if form[4] ~= nil then
    local n = hexnum(p.val)
    if n ~= nil then
      for _, bf in ipairs(form[4]) do it:add(bf, p.vrange, n) end
    end
  end
  return it
end

function zvgm.dissector(tvb, pinfo, tree)
  local len = tvb:len()
  if len == 0 then return 0 end
  -- What a member reads: the text up to the first NUL.
  local all = tvb:raw(0, len)
  local nul = all:find("\0", 1, true)
  local text = nul ~= nil and all:sub(1, nul - 1) or all
  local tlen = #text
  local kind = text:match("^(%a+)=")
  if kind == nil or names[kind] == nil then return 0 end
  pinfo.cols.protocol = "ZVGM"
  local root = tree:add(zvgm, tvb(), "zvgm group manager, " .. names[kind])
  root:add(F.kind, tvb(0, #kind), kind)

  -- The trailer: the first "#sig=" of the text.
  local mark = text:find("#sig=", 1, true)
  local body = mark ~= nil and text:sub(1, mark - 1) or text
  local info = names[kind]

  local offset = 0
  local lineTrees = {}
  local hostName, nifs = nil, 0
  for line in (body .. (body:sub(-1) == "\n" and "" or "\n")):gmatch("([^\n]*)\n") do
    local ps = pairs_of(tvb, line, offset)
    if #ps > 0 then
      local lk = ps[1].key
      local form = keys[lk]
      local linelen = #line
      if offset + linelen >= tlen then linelen = tlen - offset end
      local lt = root:add(tvb(offset, math.max(linelen, 1)),
        (lk == "interface" and "Interface " .. ps[1].val) or
        (lk == "sessions" and "Sessions") or
        (lk == "host" and "Host " .. ps[1].val) or names[lk] or ("Line " .. lk))
      lineTrees[#lineTrees + 1] = lt
      if first[lk] ~= nil then
        add_pair(lt, ps[1], first[lk])
        if lk == "host" then hostName = ps[1].val end
        if lk == "interface" then nifs = nifs + 1 end
      else
        lt:add(F.pair, ps[1].range, ps[1].key .. "=" .. ps[1].val)
      end
      for i = 2, #ps do
        local p = ps[i]
        if form ~= nil and form[p.key] ~= nil then
          add_pair(lt, p, form[p.key])
        else
          lt:add(F.pair, p.range, p.key .. "=" .. p.val)
        end
      end
      if lk == "interface" then
        local ip, mask, fl
        for _, p in ipairs(ps) do
          if p.key == "ip" then ip = hexnum(p.val) end
          if p.key == "mask" then mask = hexnum(p.val) end
          if p.key == "flags" then fl = hexnum(p.val) end
        end
        if mask ~= nil then lt:add(F["if.prefix"], prefix(mask)) end
        if ip ~= nil and mask ~= nil then
          lt:append_text(": " .. dotted(ip) .. "/" .. prefix(mask) ..
            ((fl ~= nil and fl % 2 == 1) and " LAN" or " interconnect"))
        end
      end
    end
    offset = offset + #line + 1
  end

  if kind == "host" then
    info = info .. " " .. (hostName or "?") .. " (" .. nifs .. " interfaces)"
  else
    local ps = pairs_of(tvb, body:match("^[^\n]*"), 0)
    local parts = {}
    for i, p in ipairs(ps) do
      if i > 1 and p.key == "at" and hexnum(p.val) then
        parts[#parts + 1] = "at=" .. dotted(swapped(hexnum(p.val)))
      elseif i == 1 and kind == "serverR" and hexnum(p.val) then
        parts[#parts + 1] = "serverR=" .. dotted(hexnum(p.val))
      else
        parts[#parts + 1] = p.key .. "=" .. p.val
      end
    end
    info = info .. ": " .. table.concat(parts, " ")
  end

  if mark ~= nil then
    local digits = text:sub(mark + 5, mark + 44)
    local st = root:add(tvb(mark - 1, tlen - mark + 1), "Signature")
    st:add(F.sig, tvb(mark + 4, math.max(math.min(40, tlen - mark - 4), 0)), digits)
    local key, why = secret()
    local verdict
    if key == nil then
      verdict = why or "not checked (no secret given)"
      st:add(F["sig.status"], verdict)
    else
      local want = sha1(key .. body)
      local ok = #digits == 40 and digits:lower() == want
      local which = ok and "first" or nil
      local key2 = second_secret()
      if not ok and key2 ~= nil and #digits == 40 and digits:lower() == sha1(key2 .. body) then
        ok, which = true, "second"
      end
      verdict = ok and "valid" or "invalid"
      st:add(F["sig.status"], verdict)
      st:add(F["sig.valid"], ok)
      st:add(F["sig.expected"], want)
      if which ~= nil then
        st:add(F["sig.secret"], which)
        verdict = verdict .. ", " .. which .. " secret"
      end
      if not ok then st:add_proto_expert_info(ex_bad) end
    end
    st:append_text(": " .. verdict)
    info = info .. " [signed, " .. verdict .. "]"
  else
    root:add(F["sig.status"], "unsigned")
    if kind ~= "serverQ" and kind ~= "serverR" then root:add_proto_expert_info(ex_unsigned) end
    info = info .. " [unsigned]"
  end
  if nul ~= nil then
    local it = root:add(F.ignored, tvb(nul - 1, len - nul + 1))
    it:add_proto_expert_info(ex_ignored)
    info = info .. " [" .. (len - nul + 1) .. " bytes after NUL ignored]"
  end
  pinfo.cols.info = info
  return len
end

local registered = nil
function zvgm.prefs_changed()
  local t = DissectorTable.get("udp.port")
  if registered ~= nil then t:remove(registered, zvgm) end
  registered = zvgm.prefs.port
  t:add(registered, zvgm)
end

DissectorTable.get("udp.port"):add(7009, zvgm)
registered = 7009
