-- Wireshark / tshark dissector for the Kelvo messaging protocol.
--
--   tshark -X lua_script:tools/wireshark/kelvo.lua -r session.pcapng
--   tshark -X lua_script:tools/wireshark/kelvo.lua -o kelvo.tcp_port:7000 -r session.pcapng -V
--
-- Inside TLS, with the key log the client wrote (KELVO_TLS_KEYLOG):
--
--   tshark -X lua_script:tools/wireshark/kelvo.lua -o tls.keylog_file:keys.log \
--          -d tls.port==7443,kelvo -r session.pcapng
--
-- (the heuristic below also finds such sessions without -d).
--
-- Every message is a 4-byte header and its body: a little-endian u16 whose
-- low 15 bits are the total length L (header included; bit 15 is a flag),
-- the category byte (bits 2-7; bits 0 and 1 are flags) and the id. Messages
-- follow one another on the TCP stream with no other framing, so one segment
-- may hold several of them and one message may span several segments.
--
-- The layouts below are those of the client library (src/protocol/
-- request_layouts.h, src/roster/roster_layouts.h, src/messaging/
-- messaging_layouts.h) and the size rules those of its dispatcher
-- (src/protocol/dispatch.cpp); fields keep the names the code gives them.
-- Texts are GBK on the wire and shown decoded.

local kelvo = Proto("kelvo", "Kelvo IM")

local CATEGORY = 11
local HEADER = 4

-- ---------------------------------------------------------------------------
-- Message ids.

local ID_NAMES = {
  [2] = "IM_MSG_ID_LOGOUT",
  [3] = "IM_MSG_ID_ADD_USER",
  [4] = "IM_MSG_ID_REMOVE_USER",
  [5] = "IM_MSG_ID_ADD_GROUP",
  [6] = "IM_MSG_ID_DEL_GROUP",
  [7] = "IM_MSG_ID_MODIFY_GROUP",
  [8] = "IM_MSG_ID_MOVE_USER",
  [9] = "IM_US_MSG_SEND_MESSAGE",
  [10] = "IM_MSG_ID_SEARCH_USER",
  [11] = "IM_MSG_ID_REPLY_ADD_USER",
  [12] = "IM_MSG_ID_IN_OUT_GS",
  [13] = "IM_MSG_ID_LOGIN",
  [45] = "IM_MSG_ID_SERVER_INFO",
  [46] = "IM_MSG_ID_MY_GROUP_LIST",
  [47] = "IM_MSG_MY_USER_LIST",
  [48] = "IM_MSG_ID_MY_USERDATA",
  [49] = "IM_MSG_ID_MY_GROUP_LIST_2",
  [50] = "IM_MSG_MY_USER_LIST_2",
  [51] = "IM_MSG_ID_MY_LOGIN_OK",
  [52] = "IM_MSG_ID_LOGIN_FAIL",
  [53] = "IM_MSG_ID_USER_LOGOUT",
  [54] = "IM_MSG_ID_ADD_USER_RESULT",
  [55] = "IM_MSG_ID_REMOVE_USER_RESULT",
  [56] = "IM_MSG_ID_IN_OUT_GS_NOTIFY",
  [58] = "IM_MSG_ID_ADD_GROUP_RESULT",
  [59] = "IM_MSG_ID_UPDATE_GROUP_RESULT",
  [60] = "IM_MSG_ID_DEL_GROUP_RESULT",
  [61] = "IM_MSG_ID_ONLINE_STATE_NOTIFY",
  [62] = "IM_MSG_ID_SYSTEM_MESSAGE",
  [63] = "IM_MSG_ID_INFO_MSG",
  [64] = "IM_MSG_ID_ADD_USER_REQUEST",
  [65] = "IM_MSG_ID_GM_ONLINE_NOTIFY",
  [66] = "IM_MSG_ID_MODIFY_GROUP_RESULT",
  [67] = "IM_MSG_ID_MOVE_USER_RESULT",
  [68] = "IM_US_MSG_SEND_MESSAGE_EX",
  [70] = "IM_MSG_ID_OFFLINE_MESSAGE_2",
  [71] = "IM_MSG_ID_SEARCH_USER_RES",
  [72] = "IM_MSG_ID_SEARCH_USER_RES_LIST",
  [73] = "IM_MSG_ID_USER_CHAT",
}

-- ---------------------------------------------------------------------------
-- Fields. Integers of every width share one uint32 field per name (a group
-- id is a u16 in the lists and a u32 in the delete request).

local F = {}
local function uint(name, label)
  F[name] = ProtoField.uint32("kelvo." .. name, label or name, base.DEC)
end

F.length = ProtoField.uint16("kelvo.length", "Length", base.DEC, nil, 0x7FFF)
F.flag1 = ProtoField.bool("kelvo.flag1", "Flag 1", 16, nil, 0x8000)
F.category = ProtoField.uint8("kelvo.category", "Category", base.DEC, nil, 0xFC)
F.flag2 = ProtoField.bool("kelvo.flag2", "Flag 2", 8, nil, 0x01)
F.flag3 = ProtoField.bool("kelvo.flag3", "Flag 3", 8, nil, 0x02)
F.id = ProtoField.uint8("kelvo.id", "Message id", base.DEC, ID_NAMES)
F.direction = ProtoField.string("kelvo.direction", "Direction")

for _, name in ipairs({
  "userId", "peerUserId", "otherUserId", "sender", "groupId", "parentGroupId", "groupKind",
  "groupAttr", "relation", "onlineState", "gameServerId", "gmLevel", "attr1", "attr2", "attr3",
  "attrFlag", "code", "value", "value1", "value2", "value3", "value4", "chat1", "chat2",
  "chat3", "type", "source", "flags", "extra", "marker", "accept", "enter", "hasName",
  "gsFlag", "reserved", "entryLength", "entryCount",
}) do
  uint(name)
end
F.dvalue = ProtoField.double("kelvo.dvalue", "value")
F.name = ProtoField.string("kelvo.name", "name")
F.text = ProtoField.string("kelvo.text", "text")
F.reason = ProtoField.string("kelvo.reason", "reason")
F.password = ProtoField.bytes("kelvo.password", "password")
F.loginExtra = ProtoField.bytes("kelvo.loginExtra", "extra")
F.block = ProtoField.bytes("kelvo.block", "block")
F.padding = ProtoField.bytes("kelvo.padding", "padding")
F.unread = ProtoField.bytes("kelvo.unread", "not read by the client")

local fieldList = {}
for _, f in pairs(F) do fieldList[#fieldList + 1] = f end
kelvo.fields = fieldList

local E = {
  size = ProtoExpert.new("kelvo.size", "Length outside the id's size rule",
                         expert.group.MALFORMED, expert.severity.WARN),
  undefined = ProtoExpert.new("kelvo.undefined", "Id undefined for this direction",
                              expert.group.UNDECODED, expert.severity.WARN),
  category = ProtoExpert.new("kelvo.wrong_category", "Category is not 11: the client ignores it",
                             expert.group.PROTOCOL, expert.severity.NOTE),
  framing = ProtoExpert.new("kelvo.framing", "Length below 4: the stream cannot be framed",
                            expert.group.MALFORMED, expert.severity.ERROR),
  entry = ProtoExpert.new("kelvo.entry", "List entry the client passes over",
                          expert.group.PROTOCOL, expert.severity.NOTE),
  truncated = ProtoExpert.new("kelvo.truncated_entry", "List entry runs past the message",
                              expert.group.MALFORMED, expert.severity.WARN),
}
kelvo.experts = { E.size, E.undefined, E.category, E.framing, E.entry, E.truncated }

-- ---------------------------------------------------------------------------
-- Layouts. Each field: { name, offset, kind, width }. Kinds: "u8", "u16",
-- "u32", "f64", "bytes" (width bytes), "text" (width bytes, up to the first
-- 0), "tail" (a text running to the end of the message, at most width bytes).
-- Inbound fields a short message does not reach are left out, as the client
-- leaves them at zero.

local OUTBOUND = {
  [2] = { size = 8, title = "Logout", { "userId", 4, "u32" } },
  [3] = { size = 16, title = "Add user",
    { "value1", 4, "u32" }, { "value3", 8, "u32" }, { "value2", 12, "u32" } },
  [4] = { size = 8, title = "Remove user", { "userId", 4, "u32" } },
  [5] = { size = 76, title = "Add group",
    { "value1", 4, "u32" }, { "value2", 8, "u32" }, { "name", 12, "text", 64 } },
  [6] = { size = 8, title = "Delete group", { "groupId", 4, "u32" } },
  [7] = { size = 72, title = "Rename group",
    { "groupId", 4, "u32" }, { "name", 8, "text", 64 } },
  [8] = { size = 16, title = "Move user",
    { "value1", 4, "u32" }, { "value2", 8, "u32" }, { "value3", 12, "u32" } },
  [10] = { size = 46, title = "Search user",
    { "value1", 4, "u32" }, { "value2", 8, "u32" }, { "hasName", 12, "u16" },
    { "name", 14, "text", 32 } },
  [11] = { size = 16, title = "Reply to add request",
    { "userId", 4, "u32" }, { "value", 8, "u32" }, { "accept", 12, "u32" } },
  [12] = { size = 7, title = "Enter/leave game server",
    { "enter", 4, "u8" }, { "gameServerId", 5, "u16" } },
  [13] = { size = 58, title = "Login",
    { "userId", 4, "u32" }, { "marker", 8, "u8" }, { "password", 9, "bytes", 16 },
    { "loginExtra", 25, "bytes", 33 } },
  [73] = { size = 279, title = "Chat",
    { "peerUserId", 4, "u32" }, { "value", 8, "u32" }, { "reserved", 12, "u8" },
    { "chat1", 13, "u8" }, { "chat2", 14, "u8" }, { "chat3", 15, "u8" },
    { "padding", 16, "bytes", 7 }, { "text", 23, "text", 256 } },
}

local USER_ENTRY = {
  title = "User", min = 18, max = 49, nameAt = 17,
  { "userId", 1, "u32" }, { "attr3", 5, "u8" }, { "attrFlag", 6, "u8" },
  { "relation", 7, "u8" }, { "onlineState", 8, "u8" }, { "groupId", 9, "u16" },
  { "attr2", 11, "u16" }, { "gameServerId", 13, "u16" }, { "attr1", 15, "u16" },
}
local GROUP_ENTRY = {
  title = "Group", min = 9, max = 72, nameAt = 8,
  { "groupId", 1, "u16" }, { "parentGroupId", 3, "u16" }, { "groupKind", 5, "u8" },
  { "groupAttr", 6, "u16" },
}
local SEARCH_ENTRY = {
  title = "Search result", min = 15, max = 47, nameAt = 14,
  { "userId", 1, "u32" }, { "attr3", 5, "u8" }, { "attrFlag", 6, "u8" },
  { "onlineState", 7, "u8" }, { "unread", 8, "bytes", 2 }, { "gameServerId", 10, "u16" },
  { "attr1", 12, "u16" },
}

local GROUP_RESULT = {
  { "code", 4, "u32" }, { "groupId", 8, "u16" }, { "parentGroupId", 10, "u16" },
  { "groupKind", 12, "u8" }, { "groupAttr", 13, "u16" }, { "name", 15, "tail", 64 },
}

local INBOUND = {
  [9] = { min = 4, max = 271, title = "Message",
    { "sender", 4, "u32" }, { "unread", 8, "bytes", 4 }, { "chat1", 12, "u8" },
    { "chat2", 13, "u8" }, { "chat3", 14, "u8" }, { "text", 15, "tail", 256 } },
  [45] = { min = 11, max = 11, title = "Server info", { "unread", 4, "bytes", 7 } },
  [46] = { min = 4, max = 1440, title = "Group list", list = GROUP_ENTRY },
  [47] = { min = 4, max = 1440, title = "User list", list = USER_ENTRY },
  [48] = { min = 4, max = 56, title = "My user data",
    { "userId", 4, "u32" }, { "attr3", 8, "u8" }, { "attrFlag", 9, "u8" },
    { "relation", 10, "u8" }, { "onlineState", 11, "u8" }, { "groupId", 12, "u16" },
    { "attr2", 14, "u16" }, { "gameServerId", 16, "u16" }, { "gmLevel", 18, "u32" },
    { "attr1", 22, "u16" }, { "name", 24, "tail", 32 } },
  [49] = { min = 4, max = 1440, title = "Group list (2)", list = GROUP_ENTRY },
  [50] = { min = 4, max = 1440, title = "User list (2)", list = USER_ENTRY },
  [51] = { min = 8, max = 8, title = "Login OK", { "unread", 4, "bytes", 4 } },
  [52] = { min = 262, max = 262, title = "Login failed",
    { "unread", 4, "bytes", 2 }, { "reason", 6, "tail", 256 } },
  [53] = { min = 10, max = 10, title = "Forced logout", { "unread", 4, "bytes", 6 } },
  [54] = { min = 4, max = 57, title = "Add user result",
    { "code", 4, "u32" }, { "relation", 8, "u8" }, { "userId", 9, "u32" },
    { "attr3", 13, "u8" }, { "attrFlag", 14, "u8" }, { "onlineState", 15, "u8" },
    { "groupId", 16, "u16" }, { "attr2", 18, "u16" }, { "gameServerId", 20, "u16" },
    { "attr1", 22, "u16" }, { "unread", 24, "bytes", 1 }, { "name", 25, "tail", 32 } },
  [55] = { min = 17, max = 17, title = "Remove user result",
    { "code", 4, "u32" }, { "unread", 8, "bytes", 1 }, { "otherUserId", 9, "u32" },
    { "userId", 13, "u32" } },
  [56] = { min = 11, max = 11, title = "Game server notice",
    { "gsFlag", 4, "u8" }, { "userId", 5, "u32" }, { "gameServerId", 9, "u16" } },
  [58] = { min = 4, max = 79, title = "Add group result", table.unpack(GROUP_RESULT) },
  [59] = { min = 79, max = 79, title = "Update group result", table.unpack(GROUP_RESULT) },
  [60] = { min = 12, max = 12, title = "Delete group result",
    { "code", 4, "u32" }, { "groupId", 8, "u16" }, { "unread", 10, "bytes", 2 } },
  [61] = { min = 13, max = 13, title = "Online state",
    { "userId", 4, "u32" }, { "onlineState", 8, "u8" }, { "unread", 9, "bytes", 4 } },
  [62] = { min = 4, max = 268, title = "System message",
    { "type", 4, "u32" }, { "value1", 8, "u8" }, { "value2", 9, "u8" },
    { "value3", 10, "u8" }, { "source", 11, "u8" }, { "text", 12, "tail", 256 } },
  [63] = { min = 4, max = 268, title = "Info message",
    { "flags", 4, "u32" }, { "sender", 8, "u32" }, { "text", 12, "tail", 256 } },
  [64] = { min = 60, max = 60, title = "Add request",
    { "userId", 4, "u32" }, { "relation", 8, "u8" }, { "unread", 9, "bytes", 1 },
    { "groupId", 10, "u16" }, { "attr2", 12, "u16" }, { "gameServerId", 14, "u16" },
    { "gmLevel", 16, "u32" }, { "onlineState", 20, "u8" }, { "unread", 21, "bytes", 1 },
    { "attr1", 22, "u16" }, { "attr3", 24, "u8" }, { "attrFlag", 25, "u8" },
    { "name", 26, "text", 32 }, { "unread", 58, "bytes", 2 } },
  [65] = { min = 4, max = 53, title = "Game master online",
    { "userId", 4, "u32" }, { "groupId", 8, "u16" }, { "gmLevel", 10, "u32" },
    { "onlineState", 14, "u8" }, { "attr3", 15, "u8" }, { "attrFlag", 16, "u8" },
    { "attr2", 17, "u16" }, { "attr1", 19, "u16" }, { "name", 21, "tail", 32 } },
  [66] = { min = 74, max = 74, title = "Modify group result",
    { "code", 4, "u32" }, { "groupId", 8, "u16" }, { "name", 10, "text", 64 } },
  [67] = { min = 16, max = 16, title = "Move user result",
    { "code", 4, "u32" }, { "userId", 8, "u32" }, { "unread", 12, "bytes", 2 },
    { "groupId", 14, "u16" } },
  [68] = { min = 23, max = 279, title = "Message (ex)",
    { "sender", 4, "u32" }, { "unread", 8, "bytes", 4 }, { "chat1", 12, "u8" },
    { "chat2", 13, "u8" }, { "chat3", 14, "u8" }, { "dvalue", 15, "f64" },
    { "text", 23, "tail", 256 } },
  [70] = { min = 68, max = 324, title = "Offline message",
    { "sender", 4, "u32" }, { "block", 8, "bytes", 38 }, { "chat1", 46, "u8" },
    { "chat2", 47, "u8" }, { "chat3", 48, "u8" }, { "unread", 49, "bytes", 7 },
    { "dvalue", 56, "f64" }, { "extra", 64, "u32" }, { "text", 68, "tail", 256 } },
  [71] = { min = 4, max = 20, title = "Search result",
    { "value1", 4, "u32" }, { "value2", 8, "u32" }, { "value3", 12, "u32" },
    { "value4", 16, "u32" } },
  [72] = { min = 4, max = 1444, title = "Search result list", list = SEARCH_ENTRY },
  [73] = { min = 23, max = 279, title = "Chat",
    { "sender", 4, "u32" }, { "unread", 8, "bytes", 5 }, { "chat1", 13, "u8" },
    { "chat2", 14, "u8" }, { "chat3", 15, "u8" }, { "unread", 16, "bytes", 7 },
    { "text", 23, "tail", 256 } },
}

local WIDTH = { u8 = 1, u16 = 2, u32 = 4, f64 = 8 }

-- ---------------------------------------------------------------------------
-- Preferences and direction.

kelvo.prefs.tcp_port = Pref.uint("TCP port", 7000,
  "Port of the messaging server (0: none; use Decode As or the heuristic)")
kelvo.prefs.heuristic = Pref.bool("Find sessions on other ports", true,
  "Take a TCP connection whose first segment is exactly one login request")

local registeredPort = 0
local tcpTable = DissectorTable.get("tcp.port")

local function RegisterPort()
  if registeredPort ~= 0 then tcpTable:remove(registeredPort, kelvo) end
  registeredPort = kelvo.prefs.tcp_port
  if registeredPort ~= 0 then tcpTable:add(registeredPort, kelvo) end
end

function kelvo.prefs_changed() RegisterPort() end

-- The TCP header's own ports: a dissector that hands us a tunnelled stream
-- (SOCKS) rewrites pinfo's ports to the tunnel's far end.
local tcpSrcPort = Field.new("tcp.srcport")
local tcpDstPort = Field.new("tcp.dstport")

local function Ports(pinfo)
  local all = { tcpSrcPort() }
  local src = all[#all]
  all = { tcpDstPort() }
  local dst = all[#all]
  if src and dst then return src.value, dst.value end
  return pinfo.src_port, pinfo.dst_port
end

-- The client's end of each TCP stream, learnt from the first message only a
-- client sends; keyed by the "address:port" pairs of the connection.
local clientEnd = {}

local function Ends(pinfo)
  local srcPort, dstPort = Ports(pinfo)
  local a = tostring(pinfo.src) .. ":" .. srcPort
  local b = tostring(pinfo.dst) .. ":" .. dstPort
  return a, b, (a < b) and (a .. "|" .. b) or (b .. "|" .. a), srcPort, dstPort
end

-- true: the client sends this segment. The port preference first; then
-- what was learnt about the connection; then the id itself (73 alone goes
-- both ways, and on a connection not yet known it is taken as inbound).
local function FromClient(pinfo, id)
  local here, there, key, srcPort, dstPort = Ends(pinfo)
  local port = kelvo.prefs.tcp_port
  if port ~= 0 then
    if dstPort == port and srcPort ~= port then return true end
    if srcPort == port and dstPort ~= port then return false end
  end
  if OUTBOUND[id] and not INBOUND[id] then
    clientEnd[key] = clientEnd[key] or here
  elseif INBOUND[id] and not OUTBOUND[id] then
    clientEnd[key] = clientEnd[key] or there
  end
  if clientEnd[key] then return clientEnd[key] == here end
  return OUTBOUND[id] ~= nil and INBOUND[id] == nil
end

-- ---------------------------------------------------------------------------
-- Field decoding.

-- Bytes from `offset` up to the first 0 or `width`, whichever comes first.
local function TextLength(tvb, offset, width)
  for i = 0, width - 1 do
    if tvb(offset + i, 1):uint() == 0 then return i end
  end
  return width
end

-- Adds a text of at most `width` bytes at `offset`, decoded from GBK. The
-- item covers the whole field; its value ends at the first 0.
local function AddText(tree, field, tvb, offset, width)
  if width <= 0 then return "" end
  local n = TextLength(tvb, offset, width)
  local item
  if n > 0 then
    item = tree:add_packet_field(field, tvb(offset, n), ENC_GB18030)
  else
    item = tree:add(field, tvb(offset, width), "")
  end
  if n > 0 then
    -- TvbRange:string() cuts the decoded text to the byte count of the GBK
    -- bytes, which is short for Chinese; the item's own text is whole.
    -- Without a tree (tshark with no -V) there is no item text: decode a
    -- copy padded with zeros, long enough for the longest UTF-8 form.
    local value = item.text and item.text:match("^[^:]*: (.*)$")
    if value == nil then
      local bytes = tvb(offset, n):bytes()
      bytes:append(ByteArray.new(string.rep("00", n)))
      value = bytes:tvb("GBK text")(0, 2 * n):string(ENC_GB18030):match("^[^%z]*")
    end
    return value, item
  end
  return "", item
end

-- Adds `layout`'s fields that lie inside the first `limit` bytes of `tvb`,
-- starting at `base`. Returns a table of decoded values by name.
local function AddFields(tree, tvb, base, limit, layout)
  local values = {}
  for _, row in ipairs(layout) do
    local name, offset, kind, width = row[1], base + row[2], row[3], row[4]
    local field = F[name]
    local w = WIDTH[kind] or width
    if kind == "tail" then
      local room = math.min(width, limit - offset)
      if room > 0 then values[name] = AddText(tree, field, tvb, offset, room) end
    elseif offset + w <= limit then
      if kind == "text" then
        values[name] = AddText(tree, field, tvb, offset, w)
      elseif kind == "bytes" then
        tree:add(field, tvb(offset, w))
      elseif kind == "f64" then
        values[name] = tvb(offset, 8):le_float()
        tree:add_le(field, tvb(offset, 8))
      else
        values[name] = tvb(offset, w):le_uint()
        tree:add_le(field, tvb(offset, w))
      end
    end
  end
  return values
end

-- One subtree per list entry, walked the way the client walks it.
local function AddEntries(tree, tvb, L, entry)
  local pos = HEADER
  local taken = 0
  local index = 0
  while pos < L do
    local len = tvb(pos, 1):uint()
    if len == 0 then
      tree:add(F.entryLength, tvb(pos, 1)):append_text(" (end of list)")
      break
    end
    index = index + 1
    if len > L - pos then
      local t = tree:add(F.entryLength, tvb(pos, 1))
      t:add_proto_expert_info(E.truncated)
      t:append_text(" (runs past the message: ends the list)")
      break
    end
    local sub = tree:add(kelvo, tvb(pos, len), string.format("%s entry %d", entry.title, index))
    sub:add(F.entryLength, tvb(pos, 1))
    if len < entry.min or len > entry.max then
      sub:add_proto_expert_info(E.entry)
      sub:append_text(string.format(" (length %d outside %d-%d: passed over)", len, entry.min,
                                    entry.max))
    else
      taken = taken + 1
      local values = AddFields(sub, tvb, pos, pos + len, entry)
      -- The client ends the name at the entry's last byte.
      local name = AddText(sub, F.name, tvb, pos + entry.nameAt, len - 1 - entry.nameAt)
      local id = values.userId or values.groupId
      sub:append_text(string.format(": #%d \"%s\"", id, name))
    end
    pos = pos + len
  end
  return taken, index
end

-- ---------------------------------------------------------------------------
-- One message.

local function Summary(layout, values)
  local parts = {}
  for _, key in ipairs({ "userId", "peerUserId", "sender", "groupId", "gameServerId", "enter",
                          "code", "onlineState" }) do
    if values[key] then parts[#parts + 1] = key .. "=" .. values[key] end
  end
  for _, key in ipairs({ "name", "text", "reason" }) do
    if values[key] and values[key] ~= "" then
      parts[#parts + 1] = string.format("%s=\"%s\"", key, values[key])
    end
  end
  return layout.title .. (#parts > 0 and (" " .. table.concat(parts, " ")) or "")
end

local function DissectMessage(tvb, pinfo, root, L)
  local tree = root:add(kelvo, tvb(0, L))
  local lengthItem = tree:add_le(F.length, tvb(0, 2))
  tree:add_le(F.flag1, tvb(0, 2))
  local categoryItem = tree:add(F.category, tvb(2, 1))
  tree:add(F.flag2, tvb(2, 1))
  tree:add(F.flag3, tvb(2, 1))
  local id = tvb(3, 1):uint()
  local idItem = tree:add(F.id, tvb(3, 1))
  local idName = ID_NAMES[id] or ("id " .. id)

  if bit.rshift(tvb(2, 1):uint(), 2) ~= CATEGORY then
    categoryItem:add_proto_expert_info(E.category)
    tree:append_text(string.format(", %s (category %d)", idName,
                                   bit.rshift(tvb(2, 1):uint(), 2)))
    return "category " .. bit.rshift(tvb(2, 1):uint(), 2)
  end

  local fromClient = FromClient(pinfo, id)
  tree:add(F.direction, fromClient and "client to server" or "server to client")
  local layout = fromClient and OUTBOUND[id] or INBOUND[id]
  tree:append_text(string.format(", %s, L=%d", idName, L))
  if layout == nil then
    idItem:add_proto_expert_info(E.undefined)
    return idName .. " (undefined)"
  end

  local min = layout.size or layout.min
  local max = layout.size or layout.max
  local info
  if L < min or L > max then
    local rule = min == max and tostring(min) or (min .. "-" .. max)
    lengthItem:add_proto_expert_info(E.size,
      string.format("%s: length %d outside %s; the %s rejects it", idName, L, rule,
                    fromClient and "server" or "client"))
    info = layout.title .. " [bad length]"
  end

  if layout.list then
    local taken, count = AddEntries(tree, tvb, L, layout.list)
    tree:add(F.entryCount, taken):set_generated()
    info = info or string.format("%s (%d entr%s)", layout.title, taken, taken == 1 and "y" or "ies")
    if taken ~= count then info = info .. string.format(", %d passed over", count - taken) end
  else
    local values = AddFields(tree, tvb, 0, L, layout)
    info = info or Summary(layout, values)
  end
  return info
end

-- ---------------------------------------------------------------------------
-- The stream: as many whole messages as the data holds; the rest is asked
-- for from TCP reassembly.

local infoFrame = nil

local function Dissect(tvb, pinfo, root)
  local total = tvb:len()
  local offset = 0
  local infos = {}
  while offset < total do
    local remaining = total - offset
    if remaining < 2 then
      pinfo.desegment_offset = offset
      pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
      break
    end
    local L = bit.band(tvb(offset, 2):le_uint(), 0x7FFF)
    if L < HEADER then
      local t = root:add(kelvo, tvb(offset, remaining), "Kelvo IM (unframeable)")
      t:add_le(F.length, tvb(offset, 2))
      t:add_proto_expert_info(E.framing)
      infos[#infos + 1] = "framing error"
      offset = total
      break
    end
    if remaining < L then
      pinfo.desegment_offset = offset
      pinfo.desegment_len = L - remaining
      break
    end
    infos[#infos + 1] = DissectMessage(tvb(offset, L):tvb(), pinfo, root, L)
    offset = offset + L
  end
  if #infos > 0 then
    pinfo.cols.protocol = "KELVO"
    -- TCP calls us once per reassembled run in a frame: keep what the
    -- earlier calls for this frame wrote.
    local text = table.concat(infos, "; ")
    if infoFrame == pinfo.number then
      pinfo.cols.info:append("; " .. text)
    else
      pinfo.cols.info = text
    end
    infoFrame = pinfo.number
  end
  -- Claimed whole, also when more bytes were asked for: a smaller answer
  -- would send TCP on to other dissectors with our reassembly request set.
  return total
end

function kelvo.dissector(tvb, pinfo, root)
  return Dissect(tvb, pinfo, root)
end

-- The head of a login request: length word 58 with flag 1 clear, category
-- 11 (the client sets flag 3 in that byte; either flag is accepted), id 13,
-- and the marker 1 after the user id.
local function IsLogin(tvb)
  return tvb(0, 2):le_uint() == 58 and bit.rshift(tvb(2, 1):uint(), 2) == CATEGORY
         and tvb(3, 1):uint() == 13 and tvb(8, 1):uint() == 1
end

-- A connection whose first client segment is exactly one login request (58
-- bytes). Nothing else is claimed, so ordinary traffic on other ports is
-- left alone.
local function Heuristic(tvb, pinfo, root)
  if not kelvo.prefs.heuristic then return false end
  if tvb:len() ~= 58 or not IsLogin(tvb) then return false end
  local here, _, key = Ends(pinfo)
  clientEnd[key] = here
  pinfo.conversation = kelvo
  Dissect(tvb, pinfo, root)
  return true
end

-- The same inside TLS, where the decrypted records come to us one by one:
-- a session whose first client record is a login request is ours from
-- then on. The conversation is left to TLS, which must go on decrypting.
local tlsSessions = {}
local function TlsHeuristic(tvb, pinfo, root)
  if not kelvo.prefs.heuristic then return false end
  local here, _, key = Ends(pinfo)
  if not tlsSessions[key] then
    if tvb:len() < 58 or not IsLogin(tvb) then return false end
    tlsSessions[key] = true
    clientEnd[key] = here
  end
  Dissect(tvb, pinfo, root)
  return true
end

function kelvo.init()
  clientEnd = {}
  tlsSessions = {}
end

RegisterPort()
tcpTable:add_for_decode_as(kelvo)
DissectorTable.get("tls.port"):add_for_decode_as(kelvo)
kelvo:register_heuristic("tcp", Heuristic)
kelvo:register_heuristic("tls", TlsHeuristic)
