-- modflash reader link: a Wireshark/tshark (4.x) dissector for the TCP
-- connection between modflash and the network reader, and for the RF-module
-- frames it carries.
--
-- Layers:
--   reader message   B9 9B, 16-bit length (only the low byte counts), type,
--                    payload, XOR check byte, CR LF
--   module frames    16-byte command frames ("CITM") and 64-byte update
--                    packets ("UITM"), each with its CRC-16, sent to the module
--   module answers   the version answer, update answers B/F/E/S
--
-- Install: copy this file into the personal Lua plugins folder, or load it
-- once with  tshark -X lua_script:modflash.lua ...  (see docs/wireshark.md).
-- Registered on TCP port 5000 (preference "modflash.port") and under
-- Decode As.

local DEFAULT_PORT = 5000
-- The answer area the programmer reads a module answer into.
local ANSWER_AREA = 64
-- The shortest message: B9 9B, length, type, check byte, CR LF.
local OVERHEAD = 8
-- Where an update answer keeps its status byte, and the length that holds it.
local STATUS_OFFSET = 17
local STATUS_LENGTH = STATUS_OFFSET + 1

local modflash = Proto("modflash", "modflash reader link")

------------------------------------------------------------------------------
-- Bit operations: bit32 (Lua 5.2), Wireshark's bit library, or the
-- operators of Lua 5.3 and later.

local bxor, band, lshift, rshift
if bit32 then
  bxor, band, lshift, rshift = bit32.bxor, bit32.band, bit32.lshift,
                               bit32.rshift
elseif bit then
  bxor, band, lshift, rshift = bit.bxor, bit.band, bit.lshift, bit.rshift
else
  local ops = load([[return function(a, b) return a ~ b end,
                            function(a, b) return a & b end,
                            function(a, n) return a << n end,
                            function(a, n) return a >> n end]])()
  bxor, band, lshift, rshift = ops()
end

------------------------------------------------------------------------------
-- CRC-16 as the module checks it: polynomial 0x1021, register starting at
-- 0xFFFF, most significant bit first, no reflection, result complemented;
-- stored low byte first.

local CRC_TABLE = {}
for i = 0, 255 do
  local crc = lshift(i, 8)
  for _ = 1, 8 do
    if band(crc, 0x8000) ~= 0 then
      crc = bxor(band(lshift(crc, 1), 0xFFFF), 0x1021)
    else
      crc = band(lshift(crc, 1), 0xFFFF)
    end
  end
  CRC_TABLE[i] = crc
end

local function crc16(raw)
  local crc = 0xFFFF
  for i = 1, #raw do
    local index = bxor(rshift(crc, 8), raw:byte(i))
    crc = bxor(band(lshift(crc, 8), 0xFFFF), CRC_TABLE[index])
  end
  return bxor(crc, 0xFFFF)
end

-- The XOR of every byte of a Lua string.
local function xor_all(raw)
  local x = 0
  for i = 1, #raw do x = bxor(x, raw:byte(i)) end
  return x
end

------------------------------------------------------------------------------
-- Names.

local T_GET_BAUD, T_BAUD, T_SET_BAUD, T_SET_BAUD_RESULT, T_MODULE_DATA =
  0x38, 0x39, 0x3A, 0x3B, 0xFA

local message_types = {
  [T_GET_BAUD] = "Reader_GetBaudRate",
  [T_BAUD] = "Reader_BaudRate",
  [T_SET_BAUD] = "Reader_SetBaudRate",
  [T_SET_BAUD_RESULT] = "Reader_SetBaudRateResult",
  [T_MODULE_DATA] = "Reader_ModuleData",
}

local RATES = { [0] = 115200, [1] = 230400, [2] = 460800, [3] = 921600 }
local baud_codes = {}
for code, rate in pairs(RATES) do baud_codes[code] = rate .. " bit/s" end

local CMD_VERSION, CMD_PREPARE = 0x60, 0x55
local commands = {
  [CMD_VERSION] = "version read",
  [CMD_PREPARE] = "prepare update",
}
local command_info = { [CMD_VERSION] = "VersionRead",
                       [CMD_PREPARE] = "PrepareUpdate" }

local PKT_ENTER, PKT_SEND_CODE, PKT_COMPLETE = 2, 3, 4
local packet_types = {
  [PKT_ENTER] = "enter (Update_EnterUpdateMode)",
  [PKT_SEND_CODE] = "send code (Update_SendCode)",
  [PKT_COMPLETE] = "complete (Update_Complete)",
}
local packet_info = { [PKT_ENTER] = "EnterUpdateMode",
                      [PKT_SEND_CODE] = "SendCode",
                      [PKT_COMPLETE] = "Complete" }

local answer_types = {
  [0x42] = "Begin",
  [0x46] = "FirmwareUpdateCfg",
  [0x45] = "End",
  [0x53] = "Status",
}

local good_bad = { [0] = "Bad", [1] = "Good" }

------------------------------------------------------------------------------
-- Fields.

local f = {
  sync = ProtoField.uint16("modflash.sync", "Sync", base.HEX),
  length = ProtoField.uint16("modflash.length", "Length", base.DEC),
  length_read = ProtoField.uint8("modflash.length.read",
                                 "Length as read (low byte only)", base.DEC),
  type = ProtoField.uint8("modflash.type", "Type", base.HEX, message_types),
  payload = ProtoField.bytes("modflash.payload", "Payload"),
  rest = ProtoField.bytes("modflash.rest", "Rest of a too short message"),
  check = ProtoField.uint8("modflash.check", "Check byte", base.HEX),
  check_status = ProtoField.uint8("modflash.check.status", "Check byte status",
                                  base.DEC, good_bad),
  trailer = ProtoField.uint16("modflash.trailer", "Trailer", base.HEX),
  junk = ProtoField.bytes("modflash.junk", "Bytes before a message start"),

  baud_code = ProtoField.uint8("modflash.baud.code", "Baud code", base.DEC,
                               baud_codes),
  baud_rate = ProtoField.uint32("modflash.baud.rate", "Rate (bit/s)", base.DEC),
  baud_result = ProtoField.uint8("modflash.baud.result", "Result", base.DEC,
                                 { [1] = "rate set" }),

  magic = ProtoField.string("modflash.magic", "Magic"),
  fixed = ProtoField.bytes("modflash.fixed", "Fixed bytes"),
  cmd_code = ProtoField.uint8("modflash.cmd.code", "Command", base.HEX,
                              commands),
  cmd_data = ProtoField.bytes("modflash.cmd.data", "Command data"),
  pkt_type = ProtoField.uint8("modflash.pkt.type", "Packet type", base.DEC,
                              packet_types),
  pkt_words = ProtoField.uint16("modflash.pkt.words", "Payload words",
                                base.DEC),
  pkt_payload = ProtoField.bytes("modflash.pkt.payload", "Packet payload"),
  address = ProtoField.uint32("modflash.address", "Flash address", base.HEX),
  test = ProtoField.uint8("modflash.test", "Test flag", base.DEC,
                          { [0] = "programming", [1] = "dry run" }),
  code = ProtoField.bytes("modflash.code", "Code bytes"),
  crc = ProtoField.uint16("modflash.crc", "CRC-16", base.HEX),
  crc_status = ProtoField.uint8("modflash.crc.status", "CRC-16 status",
                                base.DEC, good_bad),
  crc_calc = ProtoField.uint16("modflash.crc.calculated", "Calculated CRC-16",
                               base.HEX),

  answer_type = ProtoField.uint8("modflash.answer.type", "Answer type",
                                 base.HEX, answer_types),
  result = ProtoField.uint8("modflash.result", "Result", base.DEC,
                            { [0] = "success" }),
  version = ProtoField.string("modflash.version", "Firmware version"),
  status = ProtoField.uint8("modflash.status", "Status", base.HEX),
  status_name = ProtoField.string("modflash.status.name", "Status as read"),
  answer_data = ProtoField.bytes("modflash.answer.data", "Answer bytes"),

  request = ProtoField.string("modflash.request", "Request"),
  request_in = ProtoField.framenum("modflash.request_in", "Request in",
                                   base.NONE, frametype.REQUEST),
  response_in = ProtoField.framenum("modflash.response_in", "Response in",
                                    base.NONE, frametype.RESPONSE),
}
local field_list = {}
for _, field in pairs(f) do field_list[#field_list + 1] = field end
modflash.fields = field_list

local PI_CHECKSUM, PI_MALFORMED, PI_PROTOCOL, PI_RESPONSE, PI_SEQUENCE =
  expert.group.CHECKSUM, expert.group.MALFORMED, expert.group.PROTOCOL,
  expert.group.RESPONSE_CODE, expert.group.SEQUENCE
local WARN, NOTE = expert.severity.WARN, expert.severity.NOTE

local e = {
  bad_check = ProtoExpert.new("modflash.check.bad", "Bad check byte",
                              PI_CHECKSUM, WARN),
  bad_crc = ProtoExpert.new("modflash.crc.bad", "Bad CRC-16", PI_CHECKSUM,
                            WARN),
  short_length = ProtoExpert.new("modflash.length.short", "Length below 8",
                                 PI_MALFORMED, WARN),
  oversize = ProtoExpert.new("modflash.oversize",
                             "Payload longer than the programmer reads",
                             PI_PROTOCOL, WARN),
  refused = ProtoExpert.new("modflash.refused", "Slice refused", PI_RESPONSE,
                            WARN),
  failed = ProtoExpert.new("modflash.failed",
                           "Answer the programmer takes as a failure",
                           PI_RESPONSE, WARN),
  short_status = ProtoExpert.new("modflash.status.short",
                                 "Status answer shorter than 18 bytes",
                                 PI_MALFORMED, WARN),
  bad_trailer = ProtoExpert.new("modflash.trailer.bad", "Trailer is not CR LF",
                                PI_MALFORMED, WARN),
  high_length = ProtoExpert.new("modflash.length.high",
                                "Only the low length byte counts",
                                PI_PROTOCOL, NOTE),
  junk = ProtoExpert.new("modflash.junk.skipped",
                         "Bytes skipped before a message start", PI_SEQUENCE,
                         NOTE),
}
modflash.experts = { e.bad_check, e.bad_crc, e.short_length, e.oversize,
                     e.refused, e.failed, e.short_status, e.bad_trailer,
                     e.high_length, e.junk }

modflash.prefs.port = Pref.uint("TCP port", DEFAULT_PORT,
                                "The reader's TCP port")

------------------------------------------------------------------------------
-- Requests and their answers. On the first pass, in capture order, every
-- answer is tied to the last request of its TCP stream; the ties are kept
-- by message so that later passes (and the GUI) show them in both
-- directions.

local tcp_stream = Field.new("tcp.stream")
local pending = {}    -- stream and answer type -> the last request
local by_message = {} -- message key -> { request = ..., response = ... }

-- The type of the reader's answers to each request type.
local answer_type_of = { [T_GET_BAUD] = T_BAUD,
                         [T_SET_BAUD] = T_SET_BAUD_RESULT }

function modflash.init()
  pending = {}
  by_message = {}
end

local function message_key(pinfo, tvb, start)
  return pinfo.number .. ":" .. tvb:len() .. ":" .. start
end

------------------------------------------------------------------------------
-- Module frames sent to the module.

local function add_crc(tree, tvb, covered_raw, at)
  local stored = tvb(at, 2):le_uint()
  local calculated = crc16(covered_raw)
  local item = tree:add_le(f.crc, tvb(at, 2))
  local good = stored == calculated
  tree:add(f.crc_status, tvb(at, 2), good and 1 or 0):set_generated()
  if good then
    item:append_text(" [good]")
  else
    tree:add(f.crc_calc, tvb(at, 2), calculated):set_generated()
    item:append_text(string.format(" [bad, should be 0x%04x]", calculated))
    item:add_proto_expert_info(e.bad_crc, string.format(
      "Bad CRC-16 0x%04x, should be 0x%04x", stored, calculated))
  end
  return good
end

-- A 16-byte command frame; the request it makes.
local function dissect_command(tvb, tree)
  local t = tree:add(tvb(), "Module command frame")
  t:add(f.magic, tvb(0, 4))
  t:add(f.fixed, tvb(4, 1))
  local code = tvb(5, 1):uint()
  t:add(f.cmd_code, tvb(5, 1))
  t:add(f.cmd_data, tvb(6, 8))
  add_crc(t, tvb, tvb:raw(0, 14), 14)
  local name = command_info[code] or string.format("Command 0x%02X", code)
  t:append_text(": " .. name)
  return { kind = "command", command = code, info = name }
end

-- A 64-byte update packet; the request it makes.
local function dissect_packet(tvb, tree)
  local t = tree:add(tvb(), "Update packet")
  t:add(f.magic, tvb(0, 4))
  t:add(f.fixed, tvb(4, 3))
  local ptype = tvb(7, 1):uint()
  t:add(f.pkt_type, tvb(7, 1))
  t:add(f.fixed, tvb(8, 1))
  local words = tvb(9, 2):le_uint()
  t:add_le(f.pkt_words, tvb(9, 2))
  t:add(f.fixed, tvb(11, 2))
  local request = { kind = "packet", packet = ptype,
                    info = packet_info[ptype] or ("Packet type " .. ptype) }
  if ptype == PKT_SEND_CODE and words >= 4 then
    local address = tvb(13, 4):le_uint()
    local test = tvb(21, 1):uint()
    local p = t:add(f.pkt_payload, tvb(13, 44))
    p:add_le(f.address, tvb(13, 4))
    p:add(f.fixed, tvb(17, 4))
    p:add(f.test, tvb(21, 1))
    p:add(f.fixed, tvb(22, 3))
    local code_bytes = math.min(math.max(words * 4 - 12, 0), 32)
    if code_bytes > 0 then p:add(f.code, tvb(25, code_bytes)) end
    request.address = address
    request.test = test
    request.info = string.format("SendCode 0x%08X test=%d", address, test)
  elseif words > 0 then
    t:add(f.pkt_payload, tvb(13, math.min(words * 4, 49)))
  end
  add_crc(t, tvb, tvb:raw(0, 62), 62)
  t:append_text(": " .. request.info)
  return request
end

------------------------------------------------------------------------------
-- Module answers.

-- What the programmer makes of a status for the packet it answers: a name,
-- and whether the run goes on.
local function judge_status(request, status)
  local packet = request and request.packet
  if packet == PKT_SEND_CODE then
    if status == 0x00 then return "accepted", true end
    return "refused", false
  elseif packet == PKT_ENTER then
    if status == 0x0E then return "update mode entered", true end
    return "refused", false
  elseif packet == PKT_COMPLETE then
    if status == 0x09 then return "programmed", true end
    if status == 0x0A then return "dry-run complete", true end
    return "failed", false
  end
  return nil, true
end

-- An update answer (B, F, E or S); the Info text of the answer.
local function dissect_update_answer(tvb, tree, request)
  local n = tvb:len()
  local letter = tvb(0, 1):uint()
  local t = tree:add(tvb(), "Update answer")
  t:add(f.answer_type, tvb(0, 1))
  local text = answer_types[letter]
  if letter ~= 0x53 then
    if n > 1 then t:add(f.answer_data, tvb(1, n - 1)) end
    t:append_text(": " .. text)
    return text
  end
  if n < STATUS_LENGTH then
    if n > 1 then t:add(f.answer_data, tvb(1, n - 1)) end
    t:add_proto_expert_info(e.short_status, string.format(
      "Status answer of %d bytes has no status byte at offset %d", n,
      STATUS_OFFSET))
    t:append_text(": Status, short")
    return string.format("Status (%d bytes, no status byte)", n)
  end
  t:add(f.answer_data, tvb(1, STATUS_OFFSET - 1))
  local status = tvb(STATUS_OFFSET, 1):uint()
  local item = t:add(f.status, tvb(STATUS_OFFSET, 1))
  if n > STATUS_LENGTH then
    t:add(f.answer_data, tvb(STATUS_LENGTH, n - STATUS_LENGTH))
  end
  local name, ok = judge_status(request, status)
  text = string.format("Status 0x%02X", status)
  if name then
    t:add(f.status_name, tvb(STATUS_OFFSET, 1), name):set_generated()
    item:append_text(" (" .. name .. ")")
    text = text .. " " .. name
  end
  if not ok then
    if request.packet == PKT_SEND_CODE then
      item:add_proto_expert_info(e.refused, string.format(
        "Slice 0x%08X refused with status 0x%02X", request.address or 0,
        status))
    else
      item:add_proto_expert_info(e.failed, string.format(
        "%s answered with status 0x%02X", request.info, status))
    end
  end
  t:append_text(": " .. text)
  return text
end

-- A 16-byte answer to a command frame.
local function dissect_command_answer(tvb, tree, request)
  local t = tree:add(tvb(), "Module command answer")
  t:add(f.magic, tvb(0, 4))
  t:add(f.fixed, tvb(4, 1))
  t:add(f.cmd_code, tvb(5, 1))
  local result = tvb(6, 1):uint()
  local item = t:add(f.result, tvb(6, 1))
  local command = request and request.command or tvb(5, 1):uint()
  if command ~= CMD_VERSION then
    t:add(f.answer_data, tvb(7, 9))
    t:append_text(string.format(": result %d", result))
    return string.format("Answer, result %d", result)
  end
  if result ~= 0 then
    item:add_proto_expert_info(e.failed, string.format(
      "Version read answered with result %d", result))
    t:append_text(string.format(": version read failed, result %d", result))
    return string.format("Version read failed, result %d", result)
  end
  local version = string.format("V%d.%d.%d", tvb(7, 1):uint(),
                                tvb(8, 1):uint(), tvb(9, 1):uint())
  t:add(f.version, tvb(7, 3), version)
  t:add(f.answer_data, tvb(10, 6))
  t:append_text(": " .. version)
  return "Version " .. version
end

------------------------------------------------------------------------------
-- Reader messages.

-- Dissects the payload of one message; returns the request it makes (to
-- the reader) or the Info text of the answer (from the reader).
local function dissect_payload(tvb, pinfo, tree, mtype, to_reader, request)
  local n = tvb:len()
  if to_reader then
    if mtype == T_GET_BAUD then
      return { kind = "get baud", info = "GetBaudRate" }
    elseif mtype == T_SET_BAUD and n >= 1 then
      local code = tvb(0, 1):uint()
      tree:add(f.baud_code, tvb(0, 1))
      local rate = RATES[code]
      if rate then tree:add(f.baud_rate, tvb(0, 1), rate):set_generated() end
      return { kind = "set baud",
               info = "SetBaudRate " .. (rate and (rate .. " bit/s")
                                               or ("code " .. code)) }
    elseif mtype == T_MODULE_DATA and n == 16 and tvb:raw(0, 4) == "CITM" then
      return dissect_command(tvb, tree)
    elseif mtype == T_MODULE_DATA and n == 64 and tvb:raw(0, 4) == "UITM" then
      return dissect_packet(tvb, tree)
    end
    return { kind = "other",
             info = (message_types[mtype] or string.format("Type 0x%02X",
                                                             mtype)) }
  end

  if n > ANSWER_AREA then
    tree:add_proto_expert_info(e.oversize, string.format(
      "Payload of %d bytes; the programmer reads %d", n, ANSWER_AREA))
  end
  if mtype == T_BAUD and n >= 1 then
    local code = tvb(0, 1):uint()
    tree:add(f.baud_code, tvb(0, 1))
    local rate = RATES[code]
    if rate then
      tree:add(f.baud_rate, tvb(0, 1), rate):set_generated()
      return "BaudRate " .. rate .. " bit/s"
    end
    return "BaudRate code " .. code
  elseif mtype == T_SET_BAUD_RESULT and n >= 1 then
    local result = tvb(0, 1):uint()
    local item = tree:add(f.baud_result, tvb(0, 1))
    if result == 1 then return "rate set" end
    item:add_proto_expert_info(e.failed, string.format(
      "Rate not set, result %d", result))
    return "rate not set (" .. result .. ")"
  elseif mtype == T_MODULE_DATA and n >= 1 and
         answer_types[tvb(0, 1):uint()] then
    return dissect_update_answer(tvb, tree, request)
  elseif mtype == T_MODULE_DATA and n == 16 and tvb:raw(0, 4) == "CITM" then
    return dissect_command_answer(tvb, tree, request)
  end
  return (message_types[mtype] or string.format("Type 0x%02X", mtype)) ..
         " (" .. n .. " bytes)"
end

-- Appends one message's text to the Info column (the first one in a frame
-- replaces what TCP wrote there).
local function add_info(pinfo, text)
  if tostring(pinfo.cols.protocol) ~= "modflash" then
    pinfo.cols.protocol:set("modflash")
    pinfo.cols.info:set(text)
  else
    pinfo.cols.info:append(", " .. text)
  end
end

-- One message of `length` bytes at `start` (4 when its length byte is below
-- 4, as the programmer reads it).
local function dissect_message(tvb, pinfo, tree, start, length, to_reader)
  local msg = tvb(start, length):tvb()
  local t = tree:add(modflash, tvb(start, length))
  t:add(f.sync, msg(0, 2))
  local item = t:add(f.length, msg(2, 2))
  local low = msg(3, 1):uint()
  if msg(2, 1):uint() ~= 0 then
    t:add(f.length_read, msg(3, 1))
    item:add_proto_expert_info(e.high_length, string.format(
      "Only the low length byte counts: read as %d bytes", low))
  end
  if low < OVERHEAD then
    item:add_proto_expert_info(e.short_length, string.format(
      "Length %d is below %d", low, OVERHEAD))
    if length > 4 then
      t:add(f.type, msg(4, 1))
      if length > 5 then t:add(f.rest, msg(5, length - 5)) end
    end
    t:append_text(string.format(", length %d below %d", low, OVERHEAD))
    add_info(pinfo, string.format("Length %d below %d", low, OVERHEAD))
    return
  end

  local mtype = msg(4, 1):uint()
  local n = low - OVERHEAD
  t:add(f.type, msg(4, 1))
  t:append_text(", " .. (message_types[mtype] or
                         string.format("type 0x%02X", mtype)))
  local payload_tree = t
  if n > 0 then payload_tree = t:add(f.payload, msg(5, n)) end

  local check = msg(5 + n, 1):uint()
  local expected = xor_all(msg:raw(2, 3 + n))
  local check_item = t:add(f.check, msg(5 + n, 1))
  t:add(f.check_status, msg(5 + n, 1),
        check == expected and 1 or 0):set_generated()
  if check == expected then
    check_item:append_text(" [good]")
  else
    check_item:append_text(string.format(" [bad, should be 0x%02x]",
                                         expected))
    check_item:add_proto_expert_info(e.bad_check, string.format(
      "Bad check byte 0x%02x, should be 0x%02x", check, expected))
  end
  local trailer_item = t:add(f.trailer, msg(6 + n, 2))
  if msg(6 + n, 2):uint() ~= 0x0D0A then
    trailer_item:add_proto_expert_info(e.bad_trailer)
  end

  -- Ties between requests and answers.
  local key = message_key(pinfo, tvb, start)
  local stream = tostring(tcp_stream() or "")
  local answer_key = stream .. ":" .. (to_reader and
                                       (answer_type_of[mtype] or mtype) or
                                       mtype)
  local tie = by_message[key]
  if not pinfo.visited and not tie then
    tie = {}
    by_message[key] = tie
    if not to_reader then tie.request = pending[answer_key] end
  end
  tie = tie or {}

  local payload_tvb = n > 0 and msg(5, n):tvb() or msg(5, 0):tvb()
  local result = dissect_payload(payload_tvb, pinfo, payload_tree, mtype,
                                 to_reader, tie.request and tie.request.data)
  if to_reader then
    if not pinfo.visited and not tie.data then
      tie.data = result
      tie.frame = pinfo.number
      pending[answer_key] = tie
    end
    if tie.response then
      t:add(f.response_in, tvb(start, length), tie.response):set_generated()
    end
    add_info(pinfo, result.info)
  else
    local request = tie.request
    local info = result
    if request then
      if not request.response then request.response = pinfo.number end
      t:add(f.request_in, tvb(start, length), request.frame):set_generated()
      t:add(f.request, tvb(start, length), request.data.info):set_generated()
      info = request.data.info .. " → " .. result
    end
    add_info(pinfo, info)
  end
end

------------------------------------------------------------------------------
-- The TCP stream: messages may span segments, several may share one, and
-- bytes that do not start with B9 9B are skipped up to the next B9 9B.

function modflash.dissector(tvb, pinfo, tree)
  local len = tvb:len()
  local server_port = pinfo.match_uint
  if server_port == 0 then server_port = modflash.prefs.port end
  local to_reader = pinfo.dst_port == server_port
  local offset = 0
  while offset < len do
    local start = tvb:raw(offset, len - offset):find("\185\155", 1, true)
    local keep = 0
    if not start then
      -- A B9 at the very end may begin the next message.
      if tvb(len - 1, 1):uint() == 0xB9 then keep = 1 end
      start = len - keep
    else
      start = offset + start - 1
    end
    if start > offset then
      local item = tree:add(f.junk, tvb(offset, start - offset))
      item:add_proto_expert_info(e.junk, string.format(
        "%d bytes skipped before a message start", start - offset))
      if tostring(pinfo.cols.protocol) ~= "modflash" then
        add_info(pinfo, "Bytes before a message start")
      end
    end
    if start >= len and keep == 0 then return len end
    if len - start < 4 then
      pinfo.desegment_offset = start
      pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
      return len
    end
    local length = math.max(tvb(start + 3, 1):uint(), 4)
    if len - start < length then
      pinfo.desegment_offset = start
      pinfo.desegment_len = length - (len - start)
      return len
    end
    dissect_message(tvb, pinfo, tree, start, length, to_reader)
    offset = start + length
  end
  return len
end

------------------------------------------------------------------------------
-- Registration.

local tcp_port = DissectorTable.get("tcp.port")
local registered_port = DEFAULT_PORT
tcp_port:add(registered_port, modflash)
tcp_port:add_for_decode_as(modflash)

function modflash.prefs_changed()
  if modflash.prefs.port ~= registered_port then
    tcp_port:remove(registered_port, modflash)
    registered_port = modflash.prefs.port
    tcp_port:add(registered_port, modflash)
  end
end
