-- tools/wireshark/ulmot.lua - a Wireshark dissector for ulmot's messages.
--
-- Load it with `tshark -X lua_script:tools/wireshark/ulmot.lua` (or wireshark
-- -X ...), or copy it to the personal Lua plugins folder (Help > About >
-- Folders; on Linux ~/.local/lib/wireshark/plugins/).
--
-- It decodes:
--   * capture files written by the library's transports (the tools'
--     --capture): link type 147 (USER0), each record one direction byte (0
--     sent by the capturing end, 1 received), the connection's number (4
--     bytes), then one whole message;
--   * live TCP on the port of the protocol's preference "TCP port" (default
--     5088, ulmot-readerd's), frames cut out of the byte stream by the body
--     length of their header, across segments and several in one segment.
--
-- A message is an 8-byte header (destination, source, message type and id,
-- command or event type, object type, instance, body length) and a body of
-- typed items. Requests are matched with their responses by connection,
-- message id and the two processor ids; a request nobody answered is flagged when the whole
-- capture has been read (the GUI, or tshark -2). Whatever does not fit (an
-- item that runs past its body, a length past the frame, a header whose body
-- length lies) is an expert-info warning on that item, and the rest of the
-- frame is still shown.

-- ---- Names ---------------------------------------------------------------------
-- Every name the dissector shows comes from this one table.

local NAMES = {
    message_types = { [0] = "Request", [1] = "Response", [2] = "Event", [3] = "Type 3 (not used)" },

    directions = { [0] = "sent", [1] = "received" },

    item_types = {
        [0] = "Int8", [1] = "Int16", [2] = "Int32", [3] = "ObjectReference",
        [4] = "ByteArray", [5] = "List", [6] = "TagFilter", [7] = "TagData",
    },

    object_types = {
        [0] = "version information", [1] = "GPO", [2] = "GPI", [3] = "tag selector specification",
        [4] = "Gen2 protocol specification", [5] = "inventory specification",
        [6] = "tag filter specification", [7] = "access specification", [8] = "antenna",
        [9] = "reset specification", [10] = "CTI object", [11] = "schedule specification",
        [12] = "radio", [13] = "text log", [14] = "delivery processor", [15] = "timestamp",
        [16] = "client", [17] = "antenna pair", [18] = "Gen2 parameter set",
        [19] = "RF survey specification", [22] = "NXP alarm specification", [23] = "IOCTL",
        [24] = "real-time clock",
    },

    -- Commands every object type has; 100 and 101 are named per family below.
    commands = {
        [0] = "get instances", [1] = "add", [2] = "remove", [3] = "set properties",
        [4] = "get properties", [5] = "event registration", [6] = "event properties",
        [100] = "object specific 100", [101] = "object specific 101",
    },
    family_commands = {
        [1] = { [100] = "write all GPOs" },
        [10] = { [100] = "CTI request" },
        [11] = { [100] = "start schedule", [101] = "stop schedule" },
        [14] = { [1] = "register", [2] = "deregister", [0] = "list processors", [4] = "describe processor",
                 [100] = "find processor by name", [101] = "find processor by object type" },
        [23] = { [100] = "IOCTL request" },
    },

    -- Event types per object type; those of type 14 are the processor events.
    events = {
        [1] = { [0] = "output changed" },
        [2] = { [0] = "input changed" },
        [5] = { [0] = "round begins", [1] = "round ends", [2] = "tag report" },
        [7] = { [0] = "data complete", [1] = "complete", [2] = "stop", [3] = "client request",
                [4] = "client request complete" },
        [8] = { [0] = "VSWR status" },
        [9] = { [0] = "reset done" },
        [11] = { [0] = "start", [1] = "stop" },
        [12] = { [0] = "channel change", [1] = "cycle time left", [2] = "radio state", [3] = "temperature" },
        [13] = { [0] = "log message" },
        [14] = { [0] = "processor removed", [1] = "processor added" },
        [17] = { [0] = "activation" },
        [19] = { [0] = "survey event 0", [1] = "survey event 1", [2] = "measurement" },
        [22] = { [0] = "alarm" },
    },

    -- Item 255 of a response.
    results = {
        [0] = "success", [1] = "unknown command", [2] = "unknown instance", [3] = "malformed request",
        [4] = "object type not served", [5] = "not found", [6] = "exhausted", [7] = "refused",
        [8] = "no such processor", [9] = "not registered", [20] = "value out of range",
        [-1] = "failed",
    },

    memory_banks = { [0] = "reserved", [1] = "EPC", [2] = "TID", [3] = "user" },

    filter_actions = {
        [0] = "select on a match, else deselect", [1] = "select on a match", [2] = "deselect on a non-match",
        [3] = "toggle on a match", [4] = "deselect on a match, else select", [5] = "deselect on a match",
        [6] = "select on a non-match", [7] = "toggle on a non-match",
    },

    stop_reasons = {
        [0] = "stopped by command", [1] = "duration elapsed", [2] = "tag report limit", [3] = "passes done",
        [4] = "distinct tag limit", [5] = "a schedule of higher priority started", [6] = "removed",
    },

    -- What the items of some messages mean: [kind][object type][command or
    -- event type][item id]; kind "request", "response" or "event". Item 254
    -- (time stamp) and 255 (result) have their own fields.
    items = {
        request = {
            [5] = { [1] = { [0] = "report format", [1] = "antenna or pair", [2] = "session", [3] = "tag selectors" } },
            [7] = { [1] = { [0] = "enabled", [1] = "inventories", [2] = "antennas", [3] = "tag filter specification",
                            [4] = "operation", [5] = "first word", [6] = "memory bank", [7] = "data",
                            [8] = "data length", [9] = "password", [13] = "words", [14] = "access group" } },
            [11] = { [1] = { [0] = "entries" }, [100] = { [1] = "start flag" } },
            [14] = { [1] = { [0] = "name", [1] = "object types" },
                     [100] = { [0] = "name", [2] = "object type", [5] = "find flag" },
                     [101] = { [2] = "object type", [5] = "find flag" } },
        },
        response = {
            [11] = { [101] = { [6] = "stop status" } },
            [14] = { [100] = { [3] = "processor" }, [101] = { [3] = "processor" } },
        },
        event = {
            [1] = { [0] = { [0] = "state" } },
            [2] = { [0] = { [0] = "state" } },
            [5] = { [0] = { [14] = "round" },
                    [1] = { [14] = "round", [8] = "reports", [11] = "tags left out" },
                    [2] = { [0] = "report format", [4] = "tag", [9] = "antenna", [6] = "signal strength, 0.1 dBm",
                            [7] = "channel", [8] = "times reported", [10] = "antenna pair", [13] = "phase, degrees",
                            [14] = "round", [16] = "transmit power, 0.1 dBm", [18] = "report number",
                            [20] = "schedule", [22] = "TID" } },
            [7] = { [0] = { [10] = "result", [11] = "code", [7] = "data", [4] = "tag", [9] = "antenna" },
                    [1] = { [10] = "result", [11] = "code", [4] = "tag", [9] = "antenna" } },
            [8] = { [0] = { [4] = "VSWR status" } },
            [11] = { [1] = { [2] = "stop reason" } },
            [13] = { [0] = { [0] = "text" } },
            [14] = { [1] = { [2] = "object type" } },
        },
    },
}

-- ---- Constants of the wire --------------------------------------------------

local HEADER_SIZE = 8
local MAX_BODY = 2048
local DEFAULT_TCP_PORT = 5088
local FORMAT_GEN2 = 517          -- tag data: PC, XPC words, EPC, CRC
local ITEM_TIMESTAMP = 254
local ITEM_RESULT = 255
local MAX_LIST_DEPTH = 8
local RECORD_HEAD = 5            -- a capture record's direction byte and connection

local band, rshift = bit32.band, bit32.rshift

-- ---- Protocol and fields ------------------------------------------------------

local ulmot = Proto("ulmot", "ulmot reader message")
-- The capture's records: the direction byte, the connection, then a message.
local ulmot_capture = Proto("ulmot_capture", "ulmot capture record")

local F = {
    direction = ProtoField.uint8("ulmot.direction", "Direction", base.DEC, NAMES.directions),
    connection = ProtoField.uint32("ulmot.connection", "Connection", base.DEC),
    dst = ProtoField.uint8("ulmot.dst", "Destination processor", base.DEC),
    src = ProtoField.uint8("ulmot.src", "Source processor", base.DEC),
    type = ProtoField.uint8("ulmot.type", "Message type", base.DEC, NAMES.message_types, 0xC0),
    msg_id = ProtoField.uint8("ulmot.msg_id", "Message id", base.DEC, nil, 0x3F),
    cmd = ProtoField.uint8("ulmot.cmd", "Command", base.DEC),
    cmd_name = ProtoField.string("ulmot.cmd_name", "Command or event"),
    obj_type = ProtoField.uint8("ulmot.obj_type", "Object type", base.DEC, NAMES.object_types),
    instance = ProtoField.uint8("ulmot.instance", "Instance", base.DEC),
    body_len = ProtoField.uint16("ulmot.body_len", "Body length", base.DEC),
    body = ProtoField.none("ulmot.body", "Body"),
    trailing = ProtoField.bytes("ulmot.trailing", "Bytes after the declared body"),
    header_cut = ProtoField.bytes("ulmot.header_cut", "Header bytes (cut short)"),

    item = ProtoField.none("ulmot.item", "Item"),
    item_id = ProtoField.uint8("ulmot.item.id", "Item id", base.DEC),
    item_type = ProtoField.uint8("ulmot.item.type", "Item type", base.DEC, NAMES.item_types),
    item_length = ProtoField.uint16("ulmot.item.length", "Length", base.DEC),
    int8 = ProtoField.uint8("ulmot.item.int8", "Int8", base.DEC),
    int16 = ProtoField.uint16("ulmot.item.int16", "Int16", base.DEC),
    int32 = ProtoField.uint32("ulmot.item.int32", "Int32", base.DEC),
    bytes = ProtoField.bytes("ulmot.item.bytes", "Bytes"),
    text = ProtoField.string("ulmot.item.string", "Text"),
    ref_type = ProtoField.uint8("ulmot.ref.type", "Object type", base.DEC, NAMES.object_types),
    ref_instance = ProtoField.uint8("ulmot.ref.instance", "Instance", base.DEC),
    list_count = ProtoField.uint8("ulmot.list.count", "Element count", base.DEC),
    result = ProtoField.int16("ulmot.result", "Result", base.DEC, NAMES.results),
    timestamp = ProtoField.uint32("ulmot.timestamp", "Time stamp (ms)", base.DEC),

    filter_bank = ProtoField.uint8("ulmot.filter.bank", "Memory bank", base.DEC, NAMES.memory_banks),
    filter_pointer = ProtoField.uint32("ulmot.filter.pointer", "Bit address", base.HEX_DEC),
    filter_flags = ProtoField.uint8("ulmot.filter.flags", "Flags", base.HEX),
    filter_action = ProtoField.uint8("ulmot.filter.action", "Action", base.DEC, NAMES.filter_actions, 0x07),
    filter_bits = ProtoField.uint16("ulmot.filter.bits", "Data length (bits)", base.DEC),
    filter_mask_len = ProtoField.uint16("ulmot.filter.mask_len", "Mask length (bytes)", base.DEC),
    filter_data = ProtoField.bytes("ulmot.filter.data", "Data"),
    filter_mask = ProtoField.bytes("ulmot.filter.mask", "Mask"),

    tag_bank = ProtoField.uint8("ulmot.tag.bank", "Header byte (memory bank)", base.DEC, NAMES.memory_banks),
    tag_word = ProtoField.uint32("ulmot.tag.word", "Header word (bit address)", base.HEX_DEC),
    tag_bits = ProtoField.uint16("ulmot.tag.bits", "Bit count", base.DEC),
    tag_data = ProtoField.bytes("ulmot.tag.data", "Tag bits"),
    pc = ProtoField.uint16("ulmot.pc", "PC", base.HEX),
    pc_length = ProtoField.uint16("ulmot.pc.epc_words", "EPC length (words)", base.DEC, nil, 0xF800),
    pc_umi = ProtoField.bool("ulmot.pc.umi", "User memory indicator", 16, nil, 0x0400),
    pc_xi = ProtoField.bool("ulmot.pc.xi", "XPC word follows", 16, nil, 0x0200),
    xpc1 = ProtoField.uint16("ulmot.xpc1", "XPC word 1", base.HEX),
    xpc2 = ProtoField.uint16("ulmot.xpc2", "XPC word 2", base.HEX),
    epc = ProtoField.bytes("ulmot.epc", "EPC"),
    crc = ProtoField.uint16("ulmot.crc", "CRC", base.HEX),
    crc_status = ProtoField.string("ulmot.crc.status", "CRC status"),

    response_in = ProtoField.framenum("ulmot.response_in", "Response in frame", base.NONE, frametype.RESPONSE),
    response_to = ProtoField.framenum("ulmot.response_to", "Response to the request in frame", base.NONE,
                                      frametype.REQUEST),
    time = ProtoField.relative_time("ulmot.time", "Response time"),
}

local field_list = {}
for _, f in pairs(F) do field_list[#field_list + 1] = f end
ulmot.fields = field_list

local E = {
    malformed = ProtoExpert.new("ulmot.malformed", "Malformed message", expert.group.MALFORMED, expert.severity.WARN),
    unanswered = ProtoExpert.new("ulmot.unanswered", "Request without a response", expert.group.SEQUENCE,
                                 expert.severity.WARN),
    refused = ProtoExpert.new("ulmot.refused", "Request refused", expert.group.RESPONSE_CODE, expert.severity.NOTE),
    bad_crc = ProtoExpert.new("ulmot.crc.bad", "CRC does not match the tag bits", expert.group.CHECKSUM,
                              expert.severity.WARN),
}
ulmot.experts = { E.malformed, E.unanswered, E.refused, E.bad_crc }

ulmot.prefs.tcp_port = Pref.uint("TCP port", DEFAULT_TCP_PORT, "TCP port of ulmot's messages (ulmot-readerd's)")

-- ---- Small helpers --------------------------------------------------------------

local function name_of(t, v, fallback)
    local n = t[v]
    if n then return n end
    return fallback or "unknown"
end

local function command_name(kind, obj_type, cmd)
    if kind == 2 then
        return name_of(NAMES.events[obj_type] or {}, cmd, "event type " .. cmd)
    end
    local family = NAMES.family_commands[obj_type]
    return (family and family[cmd]) or name_of(NAMES.commands, cmd, "command " .. cmd)
end

local function item_name(ctx, id)
    local by_kind = NAMES.items[ctx.kind_name]
    local by_obj = by_kind and by_kind[ctx.obj_type]
    local by_cmd = by_obj and by_obj[ctx.cmd]
    return by_cmd and by_cmd[id]
end

local function malformed(item, text)
    item:add_proto_expert_info(E.malformed, text)
end

local function hex(tvbrange)
    return tostring(tvbrange:bytes()):upper()
end

local function signed16(v)
    if v >= 0x8000 then return v - 0x10000 end
    return v
end

-- The Gen2 CRC-16 (polynomial 0x1021, preset 0xFFFF, inverted) over bytes.
local function gen2_crc(tvbrange)
    local crc = 0xFFFF
    for i = 0, tvbrange:len() - 1 do
        crc = bit32.bxor(crc, bit32.lshift(tvbrange:range(i, 1):uint(), 8))
        for _ = 1, 8 do
            if band(crc, 0x8000) ~= 0 then
                crc = band(bit32.bxor(bit32.lshift(crc, 1), 0x1021), 0xFFFF)
            else
                crc = band(bit32.lshift(crc, 1), 0xFFFF)
            end
        end
    end
    return band(bit32.bnot(crc), 0xFFFF)
end

local function printable(tvbrange)
    local s = tvbrange:raw()
    return s:len() > 0 and not s:find("[^\32-\126]")
end

-- ---- Items: one function per type -------------------------------------------------
-- Each gets the item's tree, the tvb, the value's offset and the end of what
-- the item may use (its parent's end), and returns a short text for the
-- item's label. Items of type 4 and up have been given their length already:
-- `len` bytes from `off`, checked to fit before `limit`.

local dissect_items  -- forward: lists hold items

local function fixed_value(tree, tvb, off, limit, size)
    if off + size > limit then
        malformed(tree, string.format("value needs %d bytes, %d left", size, limit - off))
        return nil
    end
    return tvb(off, size)
end

local ITEM = {}

ITEM[0] = function(ctx, tree, tvb, off, limit, id)  -- Int8
    local r = fixed_value(tree, tvb, off, limit, 1)
    if not r then return nil, off end
    tree:add(F.int8, r)
    local v = r:uint()
    if ctx.kind == 2 and ctx.obj_type == 11 and ctx.cmd == 1 and id == 2 then
        return v .. " (" .. name_of(NAMES.stop_reasons, v) .. ")", off + 1
    end
    return tostring(v), off + 1
end

ITEM[1] = function(ctx, tree, tvb, off, limit, id)  -- Int16
    local r = fixed_value(tree, tvb, off, limit, 2)
    if not r then return nil, off end
    if id == ITEM_RESULT and ctx.depth == 0 then
        local v = r:int()
        tree:add(F.result, r)
        ctx.result = v
        return v .. " (" .. name_of(NAMES.results, v) .. ")", off + 2
    end
    local v = r:uint()
    local it = tree:add(F.int16, r)
    if v >= 0x8000 then it:append_text(string.format(" (%d as signed)", signed16(v))) end
    if v >= 0x8000 then return string.format("%d (%d)", v, signed16(v)), off + 2 end
    return tostring(v), off + 2
end

ITEM[2] = function(ctx, tree, tvb, off, limit, id)  -- Int32
    local r = fixed_value(tree, tvb, off, limit, 4)
    if not r then return nil, off end
    if id == ITEM_TIMESTAMP and ctx.depth == 0 then
        tree:add(F.timestamp, r)
        ctx.timestamp = r:uint()
        return r:uint() .. " ms", off + 4
    end
    tree:add(F.int32, r)
    return string.format("%d (0x%08x)", r:uint(), r:uint()), off + 4
end

ITEM[3] = function(ctx, tree, tvb, off, limit)  -- ObjectReference
    local r = fixed_value(tree, tvb, off, limit, 2)
    if not r then return nil, off end
    local t, i = tvb(off, 1):uint(), tvb(off + 1, 1):uint()
    tree:add(F.ref_type, tvb(off, 1))
    tree:add(F.ref_instance, tvb(off + 1, 1))
    return string.format("%s %d", name_of(NAMES.object_types, t, "object type " .. t), i), off + 2
end

ITEM[4] = function(ctx, tree, tvb, off, len)  -- ByteArray (a string too)
    if len == 0 then return "(empty)" end
    local r = tvb(off, len)
    tree:add(F.bytes, r)
    if printable(r) then
        tree:add(F.text, r)
        return '"' .. r:raw() .. '"'
    end
    if len > 16 then return hex(r(0, 16)) .. "..." end
    return hex(r)
end

ITEM[5] = function(ctx, tree, tvb, off, len)  -- List: a count, then items
    if len < 1 then
        malformed(tree, "a list needs its element count byte")
        return "(no count)"
    end
    local count = tvb(off, 1):uint()
    tree:add(F.list_count, tvb(off, 1))
    if ctx.depth >= MAX_LIST_DEPTH then
        malformed(tree, "lists nested deeper than " .. MAX_LIST_DEPTH .. " levels are not decoded")
        return count .. " elements"
    end
    ctx.depth = ctx.depth + 1
    local found = dissect_items(ctx, tvb, tree, off + 1, off + len)
    ctx.depth = ctx.depth - 1
    if found ~= count then
        malformed(tree, string.format("the count says %d elements, the list holds %d", count, found))
    end
    return count .. (count == 1 and " element" or " elements")
end

ITEM[6] = function(ctx, tree, tvb, off, len)  -- TagFilter
    if len < 10 then
        malformed(tree, string.format("a tag filter needs 10 bytes of fields, the item has %d", len))
        if len > 0 then tree:add(F.bytes, tvb(off, len)) end
        return "(cut short)"
    end
    tree:add(F.filter_bank, tvb(off, 1))
    tree:add(F.filter_pointer, tvb(off + 1, 4))
    local flags = tree:add(F.filter_flags, tvb(off + 5, 1))
    flags:add(F.filter_action, tvb(off + 5, 1))
    local bits = tvb(off + 6, 2):uint()
    tree:add(F.filter_bits, tvb(off + 6, 2))
    local mask = tvb(off + 8, 2):uint()
    tree:add(F.filter_mask_len, tvb(off + 8, 2))
    local data = math.floor((bits + 7) / 8)
    local room = len - 10
    if 10 + data + mask ~= len then
        malformed(tree, string.format("length %d, fields say %d (10 + %d data + %d mask bytes)",
                                      len, 10 + data + mask, data, mask))
    end
    local d = math.min(data, room)
    if d > 0 then tree:add(F.filter_data, tvb(off + 10, d)) end
    local m = math.min(mask, room - d)
    if m > 0 then tree:add(F.filter_mask, tvb(off + 10 + d, m)) end
    local bank = tvb(off, 1):uint()
    return string.format("%s bank, bit 0x%x, %d bits%s", name_of(NAMES.memory_banks, bank, "bank " .. bank),
                         tvb(off + 1, 4):uint(), bits, d > 0 and (" " .. hex(tvb(off + 10, d))) or "")
end

-- The tag bits of format 517: PC word, XPC words when announced, EPC, CRC.
local function dissect_gen2_bits(ctx, tree, tvb, off, bytes)
    local function short(what)
        malformed(tree, string.format("%d bytes of tag bits are too few for %s", bytes, what))
        return nil
    end
    if bytes < 4 then return short("a PC word and a CRC") end
    local pc = tvb(off, 2):uint()
    local pc_item = tree:add(F.pc, tvb(off, 2))
    pc_item:add(F.pc_length, tvb(off, 2))
    pc_item:add(F.pc_umi, tvb(off, 2))
    pc_item:add(F.pc_xi, tvb(off, 2))
    local p, epc_len = off + 2, bytes - 4
    if band(pc, 0x0200) ~= 0 then
        if epc_len < 2 then return short("the XPC word its PC announces") end
        local xpc1 = tvb(p, 2):uint()
        tree:add(F.xpc1, tvb(p, 2))
        p, epc_len = p + 2, epc_len - 2
        if band(xpc1, 0x8000) ~= 0 then
            if epc_len < 2 then return short("the second XPC word its XPC word 1 announces") end
            tree:add(F.xpc2, tvb(p, 2))
            p, epc_len = p + 2, epc_len - 2
        end
    end
    local epc_text = "(empty)"
    if epc_len > 0 then
        tree:add(F.epc, tvb(p, epc_len))
        epc_text = hex(tvb(p, epc_len))
    end
    local crc_range = tvb(p + epc_len, 2)
    local crc_item = tree:add(F.crc, crc_range)
    local expected = gen2_crc(tvb(off, p + epc_len - off))
    if crc_range:uint() == expected then
        crc_item:add(F.crc_status, crc_range, "good"):set_generated()
    else
        crc_item:add(F.crc_status, crc_range, "bad"):set_generated()
        crc_item:add_proto_expert_info(E.bad_crc, string.format("CRC 0x%04x, the tag bits give 0x%04x",
                                                                crc_range:uint(), expected))
    end
    ctx.epcs[#ctx.epcs + 1] = epc_text
    return epc_text
end

ITEM[7] = function(ctx, tree, tvb, off, len)  -- TagData
    if len < 7 then
        malformed(tree, string.format("tag data needs 7 bytes of header, the item has %d", len))
        if len > 0 then tree:add(F.bytes, tvb(off, len)) end
        return "(cut short)"
    end
    local bank, word, bits = tvb(off, 1):uint(), tvb(off + 1, 4):uint(), tvb(off + 5, 2):uint()
    tree:add(F.tag_bank, tvb(off, 1))
    tree:add(F.tag_word, tvb(off + 1, 4))
    tree:add(F.tag_bits, tvb(off + 5, 2))
    local need, have = math.floor((bits + 7) / 8), len - 7
    if have > 0 then tree:add(F.tag_data, tvb(off + 7, have)) end
    if have < need then
        malformed(tree, string.format("%d bits need %d bytes, the item holds %d", bits, need, have))
        return string.format("%d bits (cut short)", bits)
    end
    -- Format 517 when the message says so; without a format item (access
    -- events), when the bits start at the PC word of the EPC bank.
    local gen2
    if ctx.format ~= nil then gen2 = ctx.format == FORMAT_GEN2 else gen2 = bank == 1 and word == 0x10 end
    if gen2 then
        local epc = dissect_gen2_bits(ctx, tree, tvb, off + 7, math.floor(bits / 8))
        if epc then return "EPC " .. epc end
        return string.format("%d bits", bits)
    end
    local bytes = math.floor(bits / 8)
    if bytes > 0 then
        local epc = hex(tvb(off + 7, bytes))
        if bank == 1 then
            tree:add(F.epc, tvb(off + 7, bytes))
            ctx.epcs[#ctx.epcs + 1] = epc
            return "EPC " .. epc
        end
        return string.format("%d bits %s", bits, epc)
    end
    return string.format("%d bits", bits)
end

local function dissect_unknown(ctx, tree, tvb, off, len, type_code)
    if len > 0 then tree:add(F.bytes, tvb(off, len)) end
    return string.format("%d bytes of unknown type %d", len, type_code)
end

-- One item at `off`, ending at `limit` at most: its tree, and the offset of
-- the next item, or nil when nothing after it can be trusted.
local function dissect_item(ctx, tvb, parent, off, limit)
    local tree = parent:add(F.item, tvb(off, limit - off))
    local b0 = tvb(off, 1):uint()
    local id, type_code = rshift(b0, 4), band(b0, 0x0F)
    local p = off + 1
    if id == 15 then
        if p >= limit then
            tree:set_text("Item: header cut short")
            malformed(tree, "the item id's extension byte is missing")
            return nil
        end
        id = tvb(p, 1):uint()
        tree:add(F.item_id, tvb(p, 1)):append_text(" (extension byte)")
        p = p + 1
    else
        tree:add(F.item_id, tvb(off, 1), id)
    end
    if type_code == 15 then
        if p >= limit then
            tree:set_text(string.format("Item %d: header cut short", id))
            malformed(tree, "the item type's extension byte is missing")
            return nil
        end
        type_code = tvb(p, 1):uint()
        tree:add(F.item_type, tvb(p, 1)):append_text(" (extension byte)")
        p = p + 1
    else
        tree:add(F.item_type, tvb(off, 1), type_code)
    end

    local label = string.format("Item %d", id)
    local meaning = (ctx.depth == 0) and item_name(ctx, id)
    if id == ITEM_RESULT and ctx.depth == 0 then meaning = "result" end
    if id == ITEM_TIMESTAMP and ctx.depth == 0 then meaning = "time stamp" end
    if meaning then label = label .. " (" .. meaning .. ")" end
    label = label .. ", " .. name_of(NAMES.item_types, type_code, "type " .. type_code)

    local text, next_off
    if type_code <= 3 then
        text, next_off = ITEM[type_code](ctx, tree, tvb, p, limit, id)
        if text == nil then
            tree:set_text(label .. ": cut short")
            return nil
        end
    else
        if p + 2 > limit then
            tree:set_text(label .. ": length cut short")
            malformed(tree, "the item's 16-bit length runs past the end of its " .. ctx.container)
            return nil
        end
        local len = tvb(p, 2):uint()
        local len_item = tree:add(F.item_length, tvb(p, 2))
        p = p + 2
        local fits = p + len <= limit
        local used = len
        if not fits then
            used = limit - p
            malformed(len_item, string.format("the length %d runs past the end of its %s (%d bytes left)",
                                              len, ctx.container, used))
        end
        local dissect = ITEM[type_code]
        if dissect then
            text = dissect(ctx, tree, tvb, p, used)
        else
            text = dissect_unknown(ctx, tree, tvb, p, used, type_code)
        end
        next_off = p + used
        if not fits then
            tree:set_text(label .. ": " .. text)
            tree:set_len(next_off - off)
            return nil
        end
    end
    tree:set_text(label .. ": " .. text)
    tree:set_len(next_off - off)
    return next_off
end

-- Items from `off` to `limit`; how many were read whole.
dissect_items = function(ctx, tvb, tree, off, limit)
    local count = 0
    local saved = ctx.container
    if ctx.depth > 0 then ctx.container = "list" end
    while off < limit do
        local next_off = dissect_item(ctx, tvb, tree, off, limit)
        if next_off == nil then break end
        count = count + 1
        off = next_off
    end
    ctx.container = saved
    return count
end

-- The Int16 item 0 of the body (a tag report's format), looked up before the
-- items are shown: the tag data item may come first.
local function find_format(tvb, off, limit)
    while off < limit do
        local b0 = tvb(off, 1):uint()
        local id, type_code, p = rshift(b0, 4), band(b0, 0x0F), off + 1
        if id == 15 then
            if p >= limit then return nil end
            id, p = tvb(p, 1):uint(), p + 1
        end
        if type_code == 15 then
            if p >= limit then return nil end
            type_code, p = tvb(p, 1):uint(), p + 1
        end
        local size = ({ [0] = 1, [1] = 2, [2] = 4, [3] = 2 })[type_code]
        if size == nil then
            if p + 2 > limit then return nil end
            size = 2 + tvb(p, 2):uint()
        end
        if p + size > limit then return nil end
        if id == 0 and type_code == 1 then return tvb(p, 2):uint() end
        off = p + size
    end
    return nil
end

-- ---- Requests and responses ----------------------------------------------------------
-- On the first pass over a capture each request waits, under its key
-- (connection, requester, responder, message id), for the response that
-- answers it; the pairs found are kept for every later pass.

local matching = {}

local function reset_matching()
    matching = { waiting = {}, by_pdu = {} }
end
reset_matching()

function ulmot.init()
    reset_matching()
end

local function connection_key(pinfo, ctx)
    if pinfo.port_type == 2 then  -- TCP: the same key from both ends
        local a = tostring(pinfo.src) .. ":" .. pinfo.src_port
        local b = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
        if a > b then a, b = b, a end
        return a .. "|" .. b
    end
    return "connection " .. ctx.record.connection
end

local function match(ctx, pinfo, tree)
    local pdu = pinfo.number .. "/" .. ctx.pdu_index
    if not pinfo.visited then
        local conn = connection_key(pinfo, ctx)
        if ctx.kind == 0 then
            local key = table.concat({ conn, ctx.src, ctx.dst, ctx.msg_id }, ":")
            local entry = { frame = pinfo.number, time = pinfo.abs_ts }
            matching.waiting[key] = entry
            matching.by_pdu[pdu] = entry
        elseif ctx.kind == 1 then
            local key = table.concat({ conn, ctx.dst, ctx.src, ctx.msg_id }, ":")
            local request = matching.waiting[key]
            if request then
                matching.waiting[key] = nil
                request.response = pinfo.number
                matching.by_pdu[pdu] = { request = request.frame, delta = pinfo.abs_ts - request.time }
            end
        end
    end
    local entry = matching.by_pdu[pdu]
    if ctx.kind == 0 and entry then
        if entry.response then
            tree:add(F.response_in, entry.response):set_generated()
        elseif pinfo.visited then
            tree:add_proto_expert_info(E.unanswered, "no response to this request in the capture")
        end
    elseif ctx.kind == 1 then
        if entry and entry.request then
            tree:add(F.response_to, entry.request):set_generated()
            local secs = math.floor(entry.delta)
            tree:add(F.time, NSTime.new(secs, math.floor((entry.delta - secs) * 1e9 + 0.5))):set_generated()
        else
            tree:add_proto_expert_info(E.unanswered, "no request in the capture that this response answers")
        end
    end
end

-- ---- One message -------------------------------------------------------------------------

local function set_info(pinfo, ctx, text)
    pinfo.cols.protocol = "ULMOT"
    if ctx.pdu_index == 1 then
        pinfo.cols.info = text
    else
        pinfo.cols.info:append(" | " .. text)
    end
end

-- Shows the message in `tvb` from `off` to its end. `record` is the
-- capture record's direction and connection (nil over TCP), `pdu_index` the
-- message's place in its frame (from 1).
local function dissect_message(tvb, pinfo, root, off, record, pdu_index)
    local available = tvb:len() - off
    local tree = root:add(ulmot, tvb(off - (record and RECORD_HEAD or 0)))
    local ctx = { pdu_index = pdu_index, depth = 0, epcs = {}, container = "body", record = record }
    local direction = record and record.direction
    if record ~= nil then
        local item = tree:add(F.direction, tvb(off - RECORD_HEAD, 1))
        if direction > 1 then
            malformed(item, string.format("direction byte %d: 0 (sent) or 1 (received)", direction))
        end
        tree:add(F.connection, tvb(off - RECORD_HEAD + 1, 4))
    end

    if available < HEADER_SIZE then
        if available > 0 then tree:add(F.header_cut, tvb(off, available)) end
        malformed(tree, string.format("the header is cut short: %d of %d bytes", available, HEADER_SIZE))
        tree:append_text(", header cut short")
        set_info(pinfo, ctx, string.format("Header cut short (%d bytes)", available))
        return
    end

    local dst, src = tvb(off, 1):uint(), tvb(off + 1, 1):uint()
    local b2 = tvb(off + 2, 1):uint()
    local kind, msg_id = rshift(b2, 6), band(b2, 0x3F)
    local cmd, obj_type, instance = tvb(off + 3, 1):uint(), tvb(off + 4, 1):uint(), tvb(off + 5, 1):uint()
    local body_len = tvb(off + 6, 2):uint()
    ctx.kind, ctx.msg_id, ctx.src, ctx.dst, ctx.cmd, ctx.obj_type = kind, msg_id, src, dst, cmd, obj_type
    ctx.kind_name = ({ [0] = "request", [1] = "response", [2] = "event" })[kind]

    tree:add(F.dst, tvb(off, 1))
    tree:add(F.src, tvb(off + 1, 1))
    local type_item = tree:add(F.type, tvb(off + 2, 1))
    if kind == 3 then malformed(type_item, "message type 3 is not used; receivers refuse it") end
    tree:add(F.msg_id, tvb(off + 2, 1))
    local cname = command_name(kind, obj_type, cmd)
    local what = kind == 2 and "Event type" or "Command"
    tree:add(F.cmd, tvb(off + 3, 1), cmd, string.format("%s: %s (%d)", what, cname, cmd))
    tree:add(F.cmd_name, tvb(off + 3, 1), cname):set_generated()
    tree:add(F.obj_type, tvb(off + 4, 1))
    tree:add(F.instance, tvb(off + 5, 1))
    local len_item = tree:add(F.body_len, tvb(off + 6, 2))

    local body_off = off + HEADER_SIZE
    local in_frame = available - HEADER_SIZE
    local body_end = body_off + math.min(body_len, in_frame)
    if body_len > MAX_BODY then
        malformed(len_item, string.format("a body is at most %d bytes", MAX_BODY))
    end
    if body_len > in_frame then
        malformed(len_item, string.format("the header declares %d body bytes, the frame holds %d",
                                          body_len, in_frame))
    end

    if body_end > body_off then
        ctx.format = find_format(tvb, body_off, body_end)
        local body = tree:add(F.body, tvb(body_off, body_end - body_off))
        local count = dissect_items(ctx, tvb, body, body_off, body_end)
        body:set_text(string.format("Body: %d item%s", count, count == 1 and "" or "s"))
    end
    if body_len < in_frame then
        local extra = tree:add(F.trailing, tvb(body_end, in_frame - body_len))
        malformed(extra, string.format("%d bytes after the %d body bytes the header declares",
                                       in_frame - body_len, body_len))
    end
    if kind == 1 and ctx.result == nil then
        malformed(tree, "a response carries its result as Int16 item 255; this one has none")
    elseif kind == 1 and ctx.result ~= 0 then
        tree:add_proto_expert_info(E.refused, string.format("%s %s refused: %d (%s)",
            name_of(NAMES.object_types, obj_type, "object type " .. obj_type), cname, ctx.result,
            name_of(NAMES.results, ctx.result)))
    end

    if kind <= 1 then match(ctx, pinfo, tree) end

    local object = name_of(NAMES.object_types, obj_type, "object type " .. obj_type)
    local summary = string.format("%s %d %d->%d %s %d %s", NAMES.message_types[kind], msg_id, src, dst, object,
                                  instance, cname)
    if kind == 2 then
        summary = string.format("Event %d->%d %s %d %s", src, dst, object, instance, cname)
    end
    if ctx.result ~= nil then
        summary = summary .. string.format(", result %d (%s)", ctx.result, name_of(NAMES.results, ctx.result))
    end
    if #ctx.epcs > 0 then summary = summary .. ", EPC " .. table.concat(ctx.epcs, " ") end
    tree:append_text(", " .. summary)
    if direction ~= nil then
        -- A capture file has no addresses: the processors stand in for them.
        pinfo.cols.src = "processor " .. src
        pinfo.cols.dst = "processor " .. dst
    end
    set_info(pinfo, ctx, (direction ~= nil and (NAMES.directions[direction] or "?") .. ": " or "") .. summary)
end

-- Any fault of the decoding itself is shown as a malformed message, never as
-- a Lua error in place of the frame.
local function guarded(tvb, pinfo, tree, off, record, pdu_index)
    local ok, err = pcall(dissect_message, tvb, pinfo, tree, off, record, pdu_index)
    if not ok then
        local item = tree:add(ulmot, tvb(0, 0))
        malformed(item, "could not decode: " .. tostring(err))
    end
end

-- ---- Entry points -----------------------------------------------------------------

-- A capture record: the direction byte, the connection, then one message.
function ulmot_capture.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "ULMOT"
    if tvb:len() < RECORD_HEAD then
        local item = tree:add(ulmot, tvb(0, tvb:len()))
        malformed(item, string.format("a capture record of %d bytes: its direction byte and connection take %d",
                                      tvb:len(), RECORD_HEAD))
        return tvb:len()
    end
    local direction = tvb(0, 1):uint()
    if direction == 0 then
        pinfo.p2p_dir = P2P_DIR_SENT
    elseif direction == 1 then
        pinfo.p2p_dir = P2P_DIR_RECV
    end
    guarded(tvb, pinfo, tree, RECORD_HEAD, { direction = direction, connection = tvb(1, 4):uint() }, 1)
    return tvb:len()
end

-- TCP: frames cut out of the stream by their header.
local tcp_pdu_index = 0

local function tcp_message_length(tvb, pinfo, off)
    return HEADER_SIZE + tvb(off + 6, 2):uint()
end

local function tcp_message(tvb, pinfo, tree)
    tcp_pdu_index = tcp_pdu_index + 1
    guarded(tvb, pinfo, tree, 0, nil, tcp_pdu_index)
    return tvb:len()
end

function ulmot.dissector(tvb, pinfo, tree)
    tcp_pdu_index = 0
    dissect_tcp_pdus(tvb, tree, HEADER_SIZE, tcp_message_length, tcp_message, true)
    return tvb:len()
end

-- ---- Registration ----------------------------------------------------------------

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, ulmot_capture)

local registered_port = nil
local function register_tcp_port()
    local tcp = DissectorTable.get("tcp.port")
    if registered_port ~= nil then tcp:remove(registered_port, ulmot) end
    registered_port = ulmot.prefs.tcp_port
    if registered_port ~= 0 then tcp:add(registered_port, ulmot) end
end

function ulmot.prefs_changed()
    if registered_port ~= ulmot.prefs.tcp_port then register_tcp_port() end
end

register_tcp_port()
