-- Wireshark dissector for captures of the ZOK2 gateway's edges (zok2gw and
-- zok2host --capture): host-link units on LINKTYPE_USER0, BAC-M packets on
-- USER1 and RAWoS runs on USER2; Ethernet interfaces carry plain IPv4/UDP.
-- Every unit is shown as it crossed the edge: doubled DLEs are undone into a
-- tab of their own, CRCs and checksums are recomputed and a mismatch is
-- flagged (zok2.crc_ok == 0, expert info), and bytes outside any unit show
-- as stray bytes rather than vanishing.
-- Use: wireshark -X lua_script:tools/wireshark/zok2.lua FILE, or copy it to
-- the personal Lua plugin folder (~/.local/lib/wireshark/plugins/).

local DLE, STX, ETX, ACK, NAK = 0x10, 0x02, 0x03, 0x06, 0x15
local LEN_HEADER = 12
local LEN_MAX_TEXT = 1480  -- header and the largest payload
local LEN_MAX_BACM = 248
local PORT_CONFIG = 1024

local band, bxor, rshift, lshift = bit32.band, bit32.bxor, bit32.rshift, bit32.lshift

-- CRC-8 of the host link: reflected polynomial 0x8C, start 0xFF.
local crc8_table = {}
for i = 0, 255 do
    local c = i
    for _ = 1, 8 do
        if band(c, 1) ~= 0 then c = bxor(rshift(c, 1), 0x8C) else c = rshift(c, 1) end
    end
    crc8_table[i] = c
end
local function crc8(crc, b) return crc8_table[bxor(crc, b)] end

-- CRC-16 of BAC-M: polynomial 0x1021, most significant bit first, start 0.
local crc16_table = {}
for i = 0, 255 do
    local c = lshift(i, 8)
    for _ = 1, 8 do
        if band(c, 0x8000) ~= 0 then c = bxor(lshift(c, 1), 0x1021) else c = lshift(c, 1) end
        c = band(c, 0xFFFF)
    end
    crc16_table[i] = c
end
local function crc16(crc, b)
    return band(bxor(crc16_table[bxor(rshift(crc, 8), b)], lshift(crc, 8)), 0xFFFF)
end

-- The configuration message's checksum: add, then rotate left by one.
local function checksum8(tvb, len)
    local sum = 0
    for i = 0, len - 1 do
        local t = band(sum + tvb(i, 1):uint(), 0xFF)
        sum = band(lshift(t, 1), 0xFF) + rshift(t, 7)
    end
    return sum
end

local zok2 = Proto("zok2", "ZOK2 gateway")
local zok2_bacm = Proto("zok2bacm", "ZOK2 BAC-M line")
local zok2_rawos = Proto("zok2rawos", "ZOK2 RAWoS line")

local UNIT_FRAME, UNIT_KEEPALIVE, UNIT_INFO, UNIT_ACK, UNIT_NACK = 1, 2, 3, 4, 5
local UNIT_RUN, UNIT_STRAY, UNIT_BROKEN = 6, 7, 8
local unit_names = {
    [UNIT_FRAME] = "Info frame", [UNIT_KEEPALIVE] = "Keep-alive", [UNIT_INFO] = "INFO",
    [UNIT_ACK] = "ACK", [UNIT_NACK] = "NACK", [UNIT_RUN] = "RAWoS run",
    [UNIT_STRAY] = "Stray bytes", [UNIT_BROKEN] = "Broken unit",
}
local dir_names = { [0] = "to board", [1] = "from board" }
local standard_names = { [0] = "RS-232", [1] = "RS-422", [2] = "RS-485", [3] = "RS-485" }
local protocol_names = { [0] = "BAC-M", [1] = "RAWoS" }
local parity_names = { [0] = "none", [1] = "odd", [2] = "even", [3] = "none" }
local baud_by_code = { [1] = 9600, [2] = 19200, [3] = 28800, [4] = 38400, [5] = 57600, [8] = 115200 }
local bacm_types = { [STX] = "INFO", [ACK] = "ACK", [NAK] = "NACK" }

local f = {
    unit = ProtoField.uint8("zok2.unit", "Unit", base.DEC, unit_names),
    dir = ProtoField.uint8("zok2.dir", "Direction", base.DEC, dir_names),
    keepalive = ProtoField.bool("zok2.keepalive", "Keep-alive"),
    framing = ProtoField.bytes("zok2.framing", "Framing"),
    text_len = ProtoField.uint16("zok2.text_len", "Text length (DLE undone)"),
    doubled = ProtoField.uint16("zok2.doubled_dle", "Doubled DLEs"),
    crc = ProtoField.uint16("zok2.crc", "CRC", base.HEX),
    crc_calc = ProtoField.uint16("zok2.crc_calc", "CRC computed", base.HEX),
    crc_ok = ProtoField.uint8("zok2.crc_ok", "CRC good"),
    dst_port = ProtoField.uint16("zok2.dst_port", "Destination port"),
    dst_addr = ProtoField.ipv4("zok2.dst_addr", "Destination address"),
    src_port = ProtoField.uint16("zok2.src_port", "Source port"),
    src_addr = ProtoField.ipv4("zok2.src_addr", "Source address"),
    port = ProtoField.uint16("zok2.port", "Port (source or destination)"),
    addr = ProtoField.ipv4("zok2.addr", "Address (source or destination)"),
    payload = ProtoField.bytes("zok2.payload", "Payload"),
    payload_len = ProtoField.uint16("zok2.payload_len", "Payload length"),
    stray = ProtoField.bytes("zok2.stray", "Stray bytes"),
    cfg = ProtoField.string("zok2.cfg", "Configuration"),
    cfg_mac = ProtoField.ether("zok2.cfg.mac", "MAC address"),
    cfg_mask = ProtoField.ipv4("zok2.cfg.mask", "Subnet mask"),
    cfg_gateway = ProtoField.ipv4("zok2.cfg.gateway", "Gateway"),
    cfg_address = ProtoField.ipv4("zok2.cfg.address", "Address"),
    cfg_mcast_count = ProtoField.uint8("zok2.cfg.mcast_count", "Multicast groups"),
    cfg_mcast = ProtoField.ipv4("zok2.cfg.mcast", "Multicast group"),
    cfg_reserved = ProtoField.bytes("zok2.cfg.reserved", "Not read (echoed)"),
    cfg_unread = ProtoField.bytes("zok2.cfg.unread", "Not read (the status message's)"),
    cfg_port_count = ProtoField.uint8("zok2.cfg.port_count", "UDP ports"),
    cfg_port = ProtoField.uint16("zok2.cfg.udp_port", "UDP port"),
    cfg_line = ProtoField.uint8("zok2.cfg.line", "Serial line record"),
    cfg_standard = ProtoField.uint8("zok2.cfg.standard", "Standard", base.DEC, standard_names, 0xC0),
    cfg_protocol = ProtoField.uint8("zok2.cfg.protocol", "Protocol", base.DEC, protocol_names, 0x10),
    cfg_baud_code = ProtoField.uint8("zok2.cfg.baud_code", "Bit rate code", base.DEC, nil, 0x0F),
    cfg_baud = ProtoField.uint32("zok2.cfg.baud", "Bit rate"),
    cfg_interchar = ProtoField.uint8("zok2.cfg.interchar", "Inter-character time-out (8 ms units)",
                                     base.DEC, nil, 0xFC),
    cfg_interchar_ms = ProtoField.uint16("zok2.cfg.interchar_ms", "Inter-character time-out (ms)"),
    cfg_parity = ProtoField.uint8("zok2.cfg.parity", "Parity", base.DEC, parity_names, 0x03),
    cfg_line_unused = ProtoField.bytes("zok2.cfg.line_unused", "Not read"),
    cfg_bacm_addr = ProtoField.uint8("zok2.cfg.bacm_addr", "BAC-M address of the first line",
                                     base.HEX),
    cfg_version = ProtoField.string("zok2.cfg.version", "Firmware version"),
    cfg_checksum = ProtoField.uint8("zok2.cfg.checksum", "Checksum", base.HEX),
    cfg_checksum_calc = ProtoField.uint8("zok2.cfg.checksum_calc", "Checksum computed", base.HEX),
    cfg_checksum_ok = ProtoField.uint8("zok2.cfg.checksum_ok", "Checksum good"),
    bacm_addr = ProtoField.uint8("zok2.bacm.addr", "Address byte", base.HEX),
    bacm_station = ProtoField.uint8("zok2.bacm.station", "Physical address", base.HEX, nil, 0x7F),
    bacm_slave = ProtoField.bool("zok2.bacm.slave", "Sent by a slave", 8, nil, 0x80),
    bacm_type = ProtoField.uint8("zok2.bacm.type", "Packet type", base.HEX, bacm_types),
    bacm_text = ProtoField.bytes("zok2.bacm.text", "Text"),
    rawos_data = ProtoField.bytes("zok2.rawos.data", "Data"),
    rawos_len = ProtoField.uint16("zok2.rawos.len", "Length"),
}
local field_list = {}
for _, v in pairs(f) do field_list[#field_list + 1] = v end
zok2.fields = field_list

local e = {
    crc_bad = ProtoExpert.new("zok2.crc_bad", "Bad CRC", expert.group.CHECKSUM, expert.severity.ERROR),
    checksum_bad = ProtoExpert.new("zok2.checksum_bad", "Bad configuration checksum",
                                   expert.group.CHECKSUM, expert.severity.ERROR),
    malformed = ProtoExpert.new("zok2.malformed", "Broken unit", expert.group.MALFORMED,
                                expert.severity.ERROR),
    stray = ProtoExpert.new("zok2.stray_bytes", "Bytes outside any unit",
                            expert.group.PROTOCOL, expert.severity.WARN),
    length = ProtoExpert.new("zok2.length", "Length the receiver refuses",
                             expert.group.PROTOCOL, expert.severity.WARN),
}
zok2.experts = { e.crc_bad, e.checksum_bad, e.malformed, e.stray, e.length }

local interface_name = Field.new("frame.interface_name")

-- 0 into the board, 1 out of it, nil when the capture does not say.
local function direction(pinfo)
    if pinfo.p2p_dir == 1 then return 0 end  -- inbound
    if pinfo.p2p_dir == 0 then return 1 end  -- outbound
    return nil
end

local function set_columns(pinfo, peer, protocol, info)
    pinfo.cols.protocol = protocol
    local d = direction(pinfo)
    if d == 0 then
        pinfo.cols.src = peer; pinfo.cols.dst = "board"
    elseif d == 1 then
        pinfo.cols.src = "board"; pinfo.cols.dst = peer
    end
    pinfo.cols.info = info
end

local function add_common(tree, tvb, pinfo, unit)
    tree:add(f.unit, tvb(0, 0), unit):set_generated()
    local d = direction(pinfo)
    if d ~= nil then tree:add(f.dir, tvb(0, 0), d):set_generated() end
end

-- Undoes the doubled DLEs of a text starting at `from`, feeding every byte
-- as it crossed into `crc_step`. Returns the text (a ByteArray), the offset
-- of the closing DLE ETX (nil when the text never closed), the offset of a
-- broken escape (nil when none), the running CRC and the doubled count.
local function unstuff(tvb, from, crc, crc_step)
    local len = tvb:len()
    local text = ByteArray.new()
    local bytes = {}
    local doubled = 0
    local i = from
    while i < len do
        local b = tvb(i, 1):uint()
        if b ~= DLE then
            bytes[#bytes + 1] = b
            crc = crc_step(crc, b)
            i = i + 1
        elseif i + 1 >= len then
            break
        else
            local n = tvb(i + 1, 1):uint()
            if n == DLE then
                bytes[#bytes + 1] = DLE
                crc = crc_step(crc_step(crc, DLE), DLE)
                doubled = doubled + 1
                i = i + 2
            elseif n == ETX then
                crc = crc_step(crc_step(crc, DLE), ETX)
                text:set_size(#bytes)
                for k = 1, #bytes do text:set_index(k - 1, bytes[k]) end
                return text, i, nil, crc, doubled
            else
                text:set_size(#bytes)
                for k = 1, #bytes do text:set_index(k - 1, bytes[k]) end
                return text, nil, i, crc, doubled
            end
        end
    end
    text:set_size(#bytes)
    for k = 1, #bytes do text:set_index(k - 1, bytes[k]) end
    return text, nil, nil, crc, doubled
end

local function add_crc(tree, range, got, calc)
    local digits = range:len() * 2
    tree:add(f.crc, range, got):set_text(string.format("CRC: 0x%0" .. digits .. "X", got))
    tree:add(f.crc_calc, range, calc):set_generated():set_text(
        string.format("CRC computed: 0x%0" .. digits .. "X", calc))
    local ok = got == calc and 1 or 0
    local item = tree:add(f.crc_ok, range, ok):set_generated()
    if ok == 0 then
        item:add_proto_expert_info(e.crc_bad, string.format("Bad CRC 0x%X, computed 0x%X", got, calc))
    end
    return ok == 1
end

local function ip_text(tvb, at)
    return string.format("%d.%d.%d.%d", tvb(at, 1):uint(), tvb(at + 1, 1):uint(),
                         tvb(at + 2, 1):uint(), tvb(at + 3, 1):uint())
end

local function add_line_record(tree, tvb, at, index, unused_note)
    local label = string.format("Serial line record %d%s", index, unused_note or "")
    local lt = tree:add(f.cfg_line, tvb(at, 4), index):set_text(label)
    local b0, b1 = tvb(at, 1):uint(), tvb(at + 1, 1):uint()
    lt:add(f.cfg_standard, tvb(at, 1))
    lt:add(f.cfg_protocol, tvb(at, 1))
    lt:add(f.cfg_baud_code, tvb(at, 1))
    local code = band(b0, 0x0F)
    lt:add(f.cfg_baud, tvb(at, 1), baud_by_code[code] or 19200):set_generated()
    lt:add(f.cfg_interchar, tvb(at + 1, 1))
    lt:add(f.cfg_interchar_ms, tvb(at + 1, 1), rshift(b1, 2) * 8):set_generated()
    lt:add(f.cfg_parity, tvb(at + 1, 1))
    lt:add(f.cfg_line_unused, tvb(at + 2, 2))
    lt:append_text(string.format(": %s, %s, %d bit/s, parity %s",
                                 standard_names[rshift(b0, 6)], protocol_names[band(rshift(b0, 4), 1)],
                                 baud_by_code[code] or 19200, parity_names[band(b1, 3)]))
end

-- The configuration message (host to board) or the status message (board
-- to host), field by field.
local function dissect_config(tvb, pinfo, tree, is_status)
    local len = tvb:len()
    local title = is_status and "Status message" or "Configuration message"
    local ct = tree:add(f.cfg, tvb(), title):set_text(title)
    if len < 42 then
        ct:add_proto_expert_info(e.length, string.format("%d bytes, at least 42 expected", len))
        return title .. " (short)"
    end
    if is_status then ct:add(f.cfg_mac, tvb(2, 6)) else ct:add(f.cfg_unread, tvb(2, 6)):append_text(" (MAC address)") end
    ct:add(f.cfg_mask, tvb(8, 4))
    ct:add(f.cfg_gateway, tvb(12, 4))
    ct:add(f.cfg_address, tvb(16, 4))
    local n = tvb(20, 1):uint()
    ct:add(f.cfg_mcast_count, tvb(20, 1))
    if n > 8 or 21 + 4 * n + 9 > len then
        ct:add_proto_expert_info(e.length, string.format("%d multicast groups: at most 8", n))
        return title .. " (bad multicast count)"
    end
    for k = 0, n - 1 do ct:add(f.cfg_mcast, tvb(21 + 4 * k, 4)) end
    ct:add(f.cfg_reserved, tvb(21 + 4 * n, 8))
    local p = tvb(29 + 4 * n, 1):uint()
    local pt = ct:add(f.cfg_port_count, tvb(29 + 4 * n, 1))
    local s = 30 + 4 * n + 2 * p
    if p > 18 or s + 12 > len then
        ct:add_proto_expert_info(e.length, string.format("%d ports in %d bytes", p, len))
        return title .. " (bad port count)"
    end
    if p == 0 then pt:append_text(" (the group's default ports)") end
    for k = 0, p - 1 do
        local at = 30 + 4 * n + 2 * k
        ct:add(f.cfg_port, tvb(at, 2))
    end
    local name = interface_name()
    local group1 = name ~= nil and tostring(name.value):match("2$") ~= nil
    add_line_record(ct, tvb, s, 1)
    add_line_record(ct, tvb, s + 4, 2, group1 and " (not read: group 1 has one line)" or nil)
    ct:add(f.cfg_bacm_addr, tvb(s + 8, 1))
    local ver, rev = tvb(s + 9, 1):uint(), tvb(s + 10, 1):uint()
    if is_status then
        ct:add(f.cfg_version, tvb(s + 9, 2),
               string.format("%d.%d.%02x", rshift(ver, 4), band(ver, 15), rev))
    else
        ct:add(f.cfg_unread, tvb(s + 9, 2)):append_text(" (firmware version)")
    end
    local got = tvb(len - 1, 1):uint()
    local calc = checksum8(tvb, len - 1)
    ct:add(f.cfg_checksum, tvb(len - 1, 1))
    ct:add(f.cfg_checksum_calc, tvb(len - 1, 1), calc):set_generated()
    local ok = got == calc and 1 or 0
    local item = ct:add(f.cfg_checksum_ok, tvb(len - 1, 1), ok):set_generated()
    if ok == 0 then
        item:add_proto_expert_info(e.checksum_bad,
                                   string.format("Checksum 0x%02X, computed 0x%02X", got, calc))
    end
    if len ~= s + 12 then
        ct:add_proto_expert_info(e.length, string.format(
            "%d bytes, but %d multicast groups and %d ports make %d", len, n, p, s + 12))
    end
    ct:append_text(string.format(": address %s, %d ports%s", ip_text(tvb, 16), p,
                                 ok == 1 and "" or " [BAD CHECKSUM]"))
    return string.format("%s, address %s%s", title, ip_text(tvb, 16), ok == 1 and "" or " [BAD CHECKSUM]")
end

local function dissect_hostlink_frame(tvb, pinfo, tree, first)
    local text, etx, broken, crc, doubled = unstuff(tvb, first, 0xFF, crc8)
    tree:add(f.framing, tvb(0, first)):set_text("DLE STX")
    local ttvb = text:tvb("Text (DLE undone)")
    tree:add(f.text_len, tvb(first, (etx or broken or tvb:len()) - first), ttvb:len()):set_generated()
    tree:add(f.doubled, tvb(first, 0), doubled):set_generated()
    local info
    local ok = false
    if etx ~= nil and etx + 2 < tvb:len() then
        tree:add(f.framing, tvb(etx, 2)):set_text("DLE ETX")
        ok = add_crc(tree, tvb(etx + 2, 1), tvb(etx + 2, 1):uint(), crc)
        if etx + 3 ~= tvb:len() then tree:add_proto_expert_info(e.malformed, "Bytes after the CRC") end
    else
        local why = broken and string.format("DLE followed by 0x%02X inside the text", tvb(broken + 1, 1):uint())
            or "Frame cut short before its CRC"
        tree:add_proto_expert_info(e.malformed, why)
        info = "Broken frame: " .. why
    end
    if ttvb:len() < LEN_HEADER then
        tree:add_proto_expert_info(e.length, string.format("Text of %d bytes, shorter than the 12-byte header", ttvb:len()))
        return (info or "Info frame, text shorter than the header") .. (ok and "" or " [BAD CRC]")
    end
    if ttvb:len() > LEN_MAX_TEXT then
        tree:add_proto_expert_info(e.length, string.format("Text of %d bytes, more than %d", ttvb:len(), LEN_MAX_TEXT))
    end
    local ht = tree:add(zok2, ttvb(0, LEN_HEADER), "Address header")
    ht:add(f.dst_port, ttvb(0, 2)); ht:add(f.port, ttvb(0, 2)):set_hidden()
    ht:add(f.dst_addr, ttvb(2, 4)); ht:add(f.addr, ttvb(2, 4)):set_hidden()
    ht:add(f.src_port, ttvb(6, 2)); ht:add(f.port, ttvb(6, 2)):set_hidden()
    ht:add(f.src_addr, ttvb(8, 4)); ht:add(f.addr, ttvb(8, 4)):set_hidden()
    local dport, sport = ttvb(0, 2):uint(), ttvb(6, 2):uint()
    local plen = ttvb:len() - LEN_HEADER
    ht:append_text(string.format(", %s:%d -> %s:%d", ip_text(ttvb, 8), sport, ip_text(ttvb, 2), dport))
    tree:add(f.payload_len, ttvb(LEN_HEADER, 0), plen):set_generated()
    local what
    if plen > 0 then
        local ptvb = ttvb(LEN_HEADER):tvb()
        tree:add(f.payload, ttvb(LEN_HEADER, plen))
        if plen >= 2 and ptvb(0, 1):uint() == 0x96 and ptvb(1, 1):uint() == 0xE1 and
           (dport == PORT_CONFIG or sport == PORT_CONFIG) then
            what = dissect_config(ptvb, pinfo, tree, direction(pinfo) == 1)
        end
    end
    info = info or string.format("%s:%d -> %s:%d, %d bytes%s", ip_text(ttvb, 8), sport,
                                 ip_text(ttvb, 2), dport, plen, what and (": " .. what) or "")
    return info .. (ok and "" or " [BAD CRC]")
end

-- Bytes outside any unit the cutter knows: shown as they came, flagged.
local function stray_unit(t, tvb, pinfo, len)
    add_common(t, tvb, pinfo, UNIT_STRAY)
    t:add(f.stray, tvb()):add_proto_expert_info(e.stray)
    return string.format("Stray bytes (%d)", len)
end

function zok2.dissector(tvb, pinfo, tree)
    local len = tvb:len()
    local t = tree:add(zok2, tvb(), "ZOK2 host link")
    local info
    if len >= 2 and tvb(0, 1):uint() == DLE then
        local i = 1
        while i < len - 1 and tvb(i, 1):uint() == DLE do i = i + 1 end
        local kind = tvb(i, 1):uint()
        if kind == ACK and i == len - 1 then
            add_common(t, tvb, pinfo, UNIT_KEEPALIVE)
            t:add(f.keepalive, tvb(), true)
            t:append_text(": keep-alive")
            info = "Keep-alive (DLE ACK)"
        elseif kind == STX then
            add_common(t, tvb, pinfo, UNIT_FRAME)
            info = dissect_hostlink_frame(tvb, pinfo, t, i + 1)
            t:append_text(": info frame")
        else
            add_common(t, tvb, pinfo, UNIT_BROKEN)
            t:add_proto_expert_info(e.malformed, string.format("DLE followed by 0x%02X", kind))
            info = string.format("Broken unit: DLE followed by 0x%02X", kind)
        end
    else
        info = stray_unit(t, tvb, pinfo, len)
    end
    set_columns(pinfo, "host", "ZOK2", info)
    return len
end

function zok2_bacm.dissector(tvb, pinfo, tree)
    local len = tvb:len()
    local t = tree:add(zok2, tvb(), "ZOK2 BAC-M")
    local info
    if len >= 3 and tvb(1, 1):uint() == DLE then
        local i = 2
        while i < len - 1 and tvb(i, 1):uint() == DLE do i = i + 1 end
        local kind = tvb(i, 1):uint()
        local addr = tvb(0, 1)
        local unit = (kind == ACK and UNIT_ACK) or (kind == NAK and UNIT_NACK) or
                     (kind == STX and UNIT_INFO) or UNIT_BROKEN
        add_common(t, tvb, pinfo, unit)
        t:add(f.bacm_addr, addr)
        t:add(f.bacm_station, addr)
        t:add(f.bacm_slave, addr)
        t:add(f.bacm_type, tvb(i, 1))
        local who = string.format("addr 0x%02X", addr:uint())
        if (kind == ACK or kind == NAK) and i == len - 1 then
            info = string.format("%s, %s", bacm_types[kind], who)
        elseif kind == STX then
            local text, etx, broken, crc, doubled = unstuff(tvb, i + 1, 0, crc16)
            t:add(f.text_len, tvb(i + 1, (etx or broken or len) - i - 1), text:len()):set_generated()
            t:add(f.doubled, tvb(i + 1, 0), doubled):set_generated()
            local ttvb = text:tvb("Text (DLE undone)")
            if text:len() > 0 then t:add(f.bacm_text, ttvb()) end
            local ok = false
            if etx ~= nil and etx + 3 < len then
                t:add(f.framing, tvb(etx, 2)):set_text("DLE ETX")
                ok = add_crc(t, tvb(etx + 2, 2), tvb(etx + 2, 2):uint(), crc)
                if etx + 4 ~= len then t:add_proto_expert_info(e.malformed, "Bytes after the CRC") end
                info = string.format("INFO, %s, %d bytes%s", who, text:len(), ok and "" or " [BAD CRC]")
            else
                local why = broken and string.format("DLE followed by 0x%02X inside the text",
                                                     tvb(broken + 1, 1):uint())
                    or "INFO cut short before its CRC"
                t:add_proto_expert_info(e.malformed, why)
                info = string.format("Broken INFO, %s: %s", who, why)
            end
            if text:len() == 0 or text:len() > LEN_MAX_BACM then
                t:add_proto_expert_info(e.length, string.format("Text of %d bytes: 1 to %d accepted",
                                                                text:len(), LEN_MAX_BACM))
            end
        else
            t:add_proto_expert_info(e.malformed, string.format("Unknown packet type 0x%02X", kind))
            info = string.format("Broken packet, %s: type 0x%02X", who, kind)
        end
    else
        info = stray_unit(t, tvb, pinfo, len)
    end
    set_columns(pinfo, "line", "ZOK2 BAC-M", info)
    return len
end

function zok2_rawos.dissector(tvb, pinfo, tree)
    local t = tree:add(zok2, tvb(), "ZOK2 RAWoS run")
    add_common(t, tvb, pinfo, UNIT_RUN)
    t:add(f.rawos_len, tvb(), tvb:len()):set_generated()
    t:add(f.rawos_data, tvb())
    set_columns(pinfo, "line", "ZOK2 RAWoS", string.format("Run of %d bytes", tvb:len()))
    return tvb:len()
end

local encap = DissectorTable.get("wtap_encap")
encap:add(wtap_encaps.USER0, zok2)
encap:add(wtap_encaps.USER1, zok2_bacm)
encap:add(wtap_encaps.USER2, zok2_rawos)
