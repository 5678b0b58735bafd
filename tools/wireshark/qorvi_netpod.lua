-- Wireshark dissector for the Qorvi-NETPOD module protocol: Ostrak packets on the
-- modules' main TCP port (8010) and on their UDP port (7010).
--
-- An Ostrak packet is a 6-byte header (function code, AskID, body length, each a
-- big-endian 16-bit number), the body, and a 2-byte checksum over header and body.
-- Several packets may follow each other in one TCP segment and one packet may be cut
-- across segments: the length field is the only framing, so TCP payloads go through
-- dissect_tcp_pdus. The RS232 port (8000) carries raw serial bytes and is left alone.
--
-- Install: copy this file into Wireshark's Lua plugin folder (see `tshark -G folders`,
-- "Personal Lua Plugins" or "Global Lua Plugins"), or load it for one run with
-- `tshark -X lua_script:qorvi_netpod.lua`.

local UDP_PORT = 7010
local MAIN_PORT = 8010
local HEADER_SIZE = 6
local CHECKSUM_SIZE = 2
-- The library assembles an answer in a 720-byte buffer and skips a longer packet;
-- an I2C answer is kept up to 180 bytes and an I2C scan result up to 127.
local LIBRARY_MAX_BODY = 712
local LIBRARY_MAX_I2C_ANSWER = 180
local LIBRARY_MAX_I2C_SCAN = 127

local netpod = Proto("netpod", "Qorvi-NETPOD module protocol")

local FUNCTION = {
    I2C_SCAN = 0x0005,
    I2C_SCAN_ANSWER = 0x0006,
    I2C_TRANSFER = 0x0007,
    I2C_TRANSFER_ANSWER = 0x0008,
    READ = 0x0021,
    WRITE = 0x0022,
    READ_ANSWER = 0x0023,
    CHANGE_IP = 0x002A,
}

local function_names = {
    [FUNCTION.I2C_SCAN] = "I2C scan",
    [FUNCTION.I2C_SCAN_ANSWER] = "I2C scan answer",
    [FUNCTION.I2C_TRANSFER] = "I2C transfer",
    [FUNCTION.I2C_TRANSFER_ANSWER] = "I2C transfer answer",
    [FUNCTION.READ] = "Read registers",
    [FUNCTION.WRITE] = "Write registers",
    [FUNCTION.READ_ANSWER] = "Read answer",
    [FUNCTION.CHANGE_IP] = "Change of IP address",
}

-- The register map: value width behind the address byte, whether the register is
-- written by the host, and how its value is shown. Input voltages 0 to 15 live at
-- 0x30 + n and are added below.
local KIND = {
    TYPE = 1, VERSION = 2, VOLTS = 3, FLAGS32 = 4, COUNT = 5, MAC = 6, IPV4 = 7,
    BYTE = 8, NAME = 9, FLAGS16 = 10, COMMAND = 11, INPUT_VOLTAGE = 12,
}

local registers = {
    [0x00] = { name = "TYPE", width = 4, kind = KIND.TYPE },
    [0x01] = { name = "VERSION", width = 4, kind = KIND.VERSION },
    [0x02] = { name = "RESETCPU", width = 0, kind = KIND.COMMAND, writable = true },
    [0x03] = { name = "SAVEUSERPARAMETERS", width = 0, kind = KIND.COMMAND, writable = true },
    [0x04] = { name = "RESTOREUSERPARAMETERS", width = 0, kind = KIND.COMMAND, writable = true },
    [0x05] = { name = "RESTOREFACTORYPARAMETERS", width = 0, kind = KIND.COMMAND, writable = true },
    [0x06] = { name = "SAVEFACTORYPARAMETERS", width = 0, kind = KIND.COMMAND, writable = true },
    [0x07] = { name = "VOLTAGE", width = 4, kind = KIND.VOLTS },
    [0x08] = { name = "WARNINGS", width = 4, kind = KIND.FLAGS32, writable = true },
    [0x0B] = { name = "NBPOWERUP", width = 4, kind = KIND.COUNT },
    [0x0C] = { name = "TIMEINSERVICE", width = 4, kind = KIND.COUNT },
    [0x10] = { name = "COMOPTIONS", width = 4, kind = KIND.FLAGS32, writable = true },
    [0x11] = { name = "ETHERNETMAC", width = 6, kind = KIND.MAC },
    [0x12] = { name = "IPADDRESS", width = 4, kind = KIND.IPV4, writable = true },
    [0x13] = { name = "SUBNETMASK", width = 4, kind = KIND.IPV4, writable = true },
    [0x14] = { name = "TCPTIMEOUT", width = 1, kind = KIND.BYTE, writable = true },
    [0x15] = { name = "MODULENAME", width = 16, kind = KIND.NAME, writable = true },
    [0x16] = { name = "RS232CONFIG", width = 1, kind = KIND.BYTE, writable = true },
    [0x18] = { name = "I2CSPD", width = 1, kind = KIND.BYTE, writable = true },
    [0x1A] = { name = "TCPCONNECTIONSOPENED", width = 1, kind = KIND.BYTE },
    [0x20] = { name = "ANALOGINPUTSTHRESHOLD", width = 4, kind = KIND.VOLTS, writable = true },
    [0x21] = { name = "OUTPUTS", width = 2, kind = KIND.FLAGS16, writable = true },
    [0x23] = { name = "INPUTS", width = 2, kind = KIND.FLAGS16 },
}
for n = 0, 15 do
    registers[0x30 + n] = { name = "INPUTVOLTAGEVALUE " .. n, width = 4, kind = KIND.INPUT_VOLTAGE, input = n }
end

local register_names = {}
for address, r in pairs(registers) do
    register_names[address] = r.name
end

local checksum_status_names = { [0] = "Bad", [1] = "Good" }

local pf = {
    func = ProtoField.uint16("netpod.function", "Function code", base.HEX, function_names),
    ask_id = ProtoField.uint16("netpod.ask_id", "AskID", base.DEC),
    length = ProtoField.uint16("netpod.length", "Body length", base.DEC),
    body = ProtoField.bytes("netpod.body", "Body"),
    checksum = ProtoField.uint16("netpod.checksum", "Checksum", base.HEX),
    checksum_computed = ProtoField.uint16("netpod.checksum.computed", "Computed checksum", base.HEX),
    checksum_status = ProtoField.uint8("netpod.checksum.status", "Checksum status", base.DEC, checksum_status_names),

    item = ProtoField.none("netpod.item", "Register item"),
    register = ProtoField.uint8("netpod.register", "Register", base.HEX, register_names),

    type_high = ProtoField.uint16("netpod.type.high", "Type high word", base.DEC),
    type_low = ProtoField.uint16("netpod.type.low", "Type low word", base.DEC),
    version = ProtoField.string("netpod.version", "Firmware version"),
    voltage = ProtoField.double("netpod.voltage", "Supply voltage"),
    warnings = ProtoField.uint32("netpod.warnings", "Warnings", base.HEX),
    warning = ProtoField.uint8("netpod.warning", "Warning set", base.DEC),
    power_ups = ProtoField.uint32("netpod.power_ups", "Power-up count", base.DEC),
    time_in_service = ProtoField.uint32("netpod.time_in_service", "Time in service", base.DEC),
    com_options = ProtoField.uint32("netpod.com_options", "Communication options", base.HEX),
    com_option = ProtoField.uint8("netpod.com_option", "Communication option set", base.DEC),
    mac = ProtoField.ether("netpod.mac", "MAC address"),
    ip = ProtoField.ipv4("netpod.ip", "IP address"),
    subnet_mask = ProtoField.ipv4("netpod.subnet_mask", "Subnet mask"),
    tcp_timeout = ProtoField.uint8("netpod.tcp_timeout", "TCP time-out", base.DEC),
    name = ProtoField.string("netpod.name", "Module name"),
    rs232_config = ProtoField.uint8("netpod.rs232_config", "RS232 configuration", base.DEC),
    i2c_speed = ProtoField.uint8("netpod.i2c_speed", "I2C speed", base.DEC),
    tcp_connections = ProtoField.uint8("netpod.tcp_connections", "Open TCP connections", base.DEC),
    threshold = ProtoField.double("netpod.threshold", "Analog inputs threshold"),
    outputs = ProtoField.uint16("netpod.outputs", "Outputs", base.HEX),
    output = ProtoField.uint8("netpod.output", "Output on", base.DEC),
    inputs = ProtoField.uint16("netpod.inputs", "Inputs", base.HEX),
    input = ProtoField.uint8("netpod.input", "Input on", base.DEC),
    input_voltage = ProtoField.double("netpod.input_voltage", "Input voltage"),
    input_number = ProtoField.uint8("netpod.input_voltage.input", "Input", base.DEC),
    undecoded = ProtoField.bytes("netpod.undecoded", "Undecoded bytes"),

    i2c_data = ProtoField.bytes("netpod.i2c.data", "I2C data"),
    i2c_answer = ProtoField.bytes("netpod.i2c.answer", "I2C answer data"),
    i2c_scan_result = ProtoField.bytes("netpod.i2c.scan_result", "I2C scan result"),

    target_mac = ProtoField.ether("netpod.change_ip.mac", "Module MAC address"),
    new_ip = ProtoField.ipv4("netpod.change_ip.address", "New IP address"),
    new_mask = ProtoField.ipv4("netpod.change_ip.mask", "New subnet mask"),

    module = ProtoField.none("netpod.module", "Module record"),
    module_address = ProtoField.ipv4("netpod.module.address", "Sender address"),
    module_type = ProtoField.string("netpod.module.type", "Type"),
    module_version = ProtoField.string("netpod.module.version", "Firmware version"),
    module_mac = ProtoField.ether("netpod.module.mac", "MAC address"),
    module_name = ProtoField.string("netpod.module.name", "Module name"),
}
local field_list = {}
for _, f in pairs(pf) do
    field_list[#field_list + 1] = f
end
netpod.fields = field_list

local ef = {
    bad_checksum = ProtoExpert.new("netpod.checksum.bad", "Bad checksum",
        expert.group.CHECKSUM, expert.severity.ERROR),
    unknown_function = ProtoExpert.new("netpod.function.unknown", "Unknown function code",
        expert.group.UNDECODED, expert.severity.WARN),
    unknown_register = ProtoExpert.new("netpod.register.unknown", "Register address outside the register map",
        expert.group.MALFORMED, expert.severity.WARN),
    register_misused = ProtoExpert.new("netpod.register.misused", "Register not usable this way",
        expert.group.PROTOCOL, expert.severity.WARN),
    truncated_item = ProtoExpert.new("netpod.item.truncated", "Register item runs past the end of the body",
        expert.group.MALFORMED, expert.severity.ERROR),
    unexpected_length = ProtoExpert.new("netpod.length.unexpected", "Body length not as the function code expects",
        expert.group.MALFORMED, expert.severity.WARN),
    too_long = ProtoExpert.new("netpod.length.too_long", "Body longer than the library accepts",
        expert.group.PROTOCOL, expert.severity.WARN),
    incomplete = ProtoExpert.new("netpod.incomplete", "Packet incomplete in this datagram",
        expert.group.MALFORMED, expert.severity.ERROR),
}
netpod.experts = { ef.bad_checksum, ef.unknown_function, ef.unknown_register, ef.register_misused,
    ef.truncated_item, ef.unexpected_length, ef.too_long, ef.incomplete }

-- The Ostrak checksum: the sum of the 16-bit complements of the big-endian words of
-- the covered bytes (an odd last byte is the high byte of its word, the low byte 0),
-- folded twice into 16 bits and not complemented again. Near the Internet checksum,
-- but 0x0000 and 0xFFFF are not interchangeable here, so it is computed exactly.
local function ostrak_checksum(bytes)
    local sum = 0
    local n = bytes:len()
    for i = 0, n - 1, 2 do
        local high = bytes:get_index(i)
        local low = (i + 1 < n) and bytes:get_index(i + 1) or 0
        sum = sum + (0xFFFF - (high * 256 + low))
    end
    sum = math.floor(sum / 65536) + sum % 65536
    sum = math.floor(sum / 65536) + sum % 65536
    return sum
end

-- Voltages travel as signed fixed point with 16 fraction bits. The field keeps the
-- exact value for filters; the tree shows volts to the millivolt, as the tool does.
local function add_volts(item, field, label, range)
    local volts = range:int() / 65536
    item:add(field, range, volts):set_text(string.format("%s: %.3f V", label, volts))
    return string.format("%.3f V", volts)
end

-- Bit k of the number is flag k: the numbers of the flags that are set.
local function set_flags(value, count)
    local set = {}
    for k = 0, count - 1 do
        if math.floor(value / 2 ^ k) % 2 == 1 then
            set[#set + 1] = k
        end
    end
    return set
end

local function version_text(range)
    local b0, b1, b2, b3 = range(0, 1):uint(), range(1, 1):uint(), range(2, 1):uint(), range(3, 1):uint()
    -- Two forms, told apart by the first byte: 00 02 00 05 is version 2.5, while
    -- 01 02 03 04 is 3.4 with the extra numbers 1 and 2.
    if b0 == 0 then
        return string.format("%d.%d", b1, b2 * 256 + b3)
    end
    return string.format("%d.%d.%d.%d", b2, b3, b0, b1)
end

local function product_name(high, low)
    if high == 8 and low == 0 then
        return "Qorvi-NETPOD"
    elseif high == 8 and low == 2 then
        return "Qorvi-NETPOD 2"
    end
    return "unknown type"
end

-- Sixteen bytes without terminator; a shorter name is padded with zero bytes.
local function module_name_text(range)
    local parts = {}
    for i = 0, range:len() - 1 do
        local c = range(i, 1):uint()
        if c == 0 then
            break
        elseif c >= 0x20 and c < 0x7F then
            parts[#parts + 1] = string.char(c)
        else
            parts[#parts + 1] = string.format("\\x%02x", c)
        end
    end
    return table.concat(parts)
end

local function mac_text(range)
    local parts = {}
    for i = 0, 5 do
        parts[#parts + 1] = string.format("%02x", range(i, 1):uint())
    end
    return table.concat(parts, ":")
end

local function dotted_text(range)
    return string.format("%d.%d.%d.%d", range(0, 1):uint(), range(1, 1):uint(), range(2, 1):uint(),
        range(3, 1):uint())
end

local function add_flags(item, group_field, flag_field, range, count, noun)
    local value = range:uint()
    local set = set_flags(value, count)
    local group = item:add(group_field, range)
    for _, k in ipairs(set) do
        group:add(flag_field, range, k):set_generated()
    end
    local text = #set == 0 and "none" or table.concat(set, ", ")
    group:append_text(" (" .. noun .. ": " .. text .. ")")
    return text .. string.format(count == 32 and " (0x%08x)" or " (0x%04x)", value)
end

-- Adds the value of one register item under `item` and returns the text that sums it
-- up. `record` collects what a UDP scan answer carries for the module record.
local function add_register_value(item, address, value, record)
    local r = registers[address]
    local kind = r.kind
    if kind == KIND.TYPE then
        local high, low = value(0, 2):uint(), value(2, 2):uint()
        item:add(pf.type_high, value(0, 2))
        item:add(pf.type_low, value(2, 2))
        record.type = { text = string.format("%d.%d", high, low), range = value }
        return string.format("%d.%d (%s)", high, low, product_name(high, low))
    elseif kind == KIND.VERSION then
        local text = version_text(value)
        item:add(pf.version, value, text)
        record.version = { text = text, range = value }
        return text
    elseif kind == KIND.VOLTS then
        if address == 0x07 then
            return add_volts(item, pf.voltage, "Supply voltage", value)
        end
        return add_volts(item, pf.threshold, "Analog inputs threshold", value)
    elseif kind == KIND.INPUT_VOLTAGE then
        item:add(pf.input_number, value, r.input):set_generated()
        return add_volts(item, pf.input_voltage, "Input voltage " .. r.input, value)
    elseif kind == KIND.FLAGS32 then
        if address == 0x08 then
            return add_flags(item, pf.warnings, pf.warning, value, 32, "set")
        end
        return add_flags(item, pf.com_options, pf.com_option, value, 32, "set")
    elseif kind == KIND.FLAGS16 then
        if address == 0x21 then
            return add_flags(item, pf.outputs, pf.output, value, 16, "on")
        end
        return add_flags(item, pf.inputs, pf.input, value, 16, "on")
    elseif kind == KIND.COUNT then
        item:add(address == 0x0B and pf.power_ups or pf.time_in_service, value)
        return tostring(value:uint())
    elseif kind == KIND.MAC then
        item:add(pf.mac, value)
        record.mac = value
        return mac_text(value)
    elseif kind == KIND.IPV4 then
        item:add(address == 0x12 and pf.ip or pf.subnet_mask, value)
        return dotted_text(value)
    elseif kind == KIND.BYTE then
        local field = ({ [0x14] = pf.tcp_timeout, [0x16] = pf.rs232_config, [0x18] = pf.i2c_speed,
            [0x1A] = pf.tcp_connections })[address]
        item:add(field, value)
        return tostring(value:uint())
    elseif kind == KIND.NAME then
        local text = module_name_text(value)
        item:add(pf.name, value, text)
        record.name = { text = text, range = value }
        return '"' .. text .. '"'
    end
    return "command"
end

-- A sequence of items, each a register address byte followed by the register's value
-- bytes (ReadAnswer, WriteRegisters, and the answers over UDP). Decoding stops at an
-- address outside the register map, since nothing tells how far its value reaches.
-- Returns the number of items decoded and the facts a scan answer's record needs.
local function dissect_items(body, pinfo, tree, writing)
    local record = {}
    local count = 0
    local offset = 0
    local length = body:len()
    while offset < length do
        local address = body(offset, 1):uint()
        local r = registers[address]
        if r == nil or (not writing and r.width == 0) then
            local item = tree:add(pf.register, body(offset, 1))
            if r == nil then
                item:add_proto_expert_info(ef.unknown_register, string.format(
                    "Register address 0x%02x is outside the register map; the rest of the body cannot be decoded",
                    address))
            else
                item:add_proto_expert_info(ef.unknown_register, string.format(
                    "%s is a command and carries no value in an answer; the rest of the body cannot be decoded",
                    r.name))
            end
            if offset + 1 < length then
                tree:add(pf.undecoded, body(offset + 1))
            end
            break
        end
        if offset + 1 + r.width > length then
            local item = tree:add(pf.item, body(offset))
            item:set_text(string.format("%s (0x%02x): truncated", r.name, address))
            item:add(pf.register, body(offset, 1))
            item:add_proto_expert_info(ef.truncated_item, string.format(
                "%s needs %d value bytes, the body holds %d more", r.name, r.width, length - offset - 1))
            break
        end
        local item = tree:add(pf.item, body(offset, 1 + r.width))
        item:add(pf.register, body(offset, 1))
        local text
        if r.width == 0 then
            text = "command"
        else
            text = add_register_value(item, address, body(offset + 1, r.width), record)
        end
        item:set_text(string.format("%s (0x%02x): %s", r.name, address, text))
        if writing and not r.writable then
            item:add_proto_expert_info(ef.register_misused, r.name .. " is read-only; the module ignores the write")
        end
        count = count + 1
        offset = offset + 1 + r.width
    end
    return count, record
end

-- ReadRegisters: one address byte per register asked for.
local function dissect_read_request(body, tree)
    local names = {}
    for offset = 0, body:len() - 1 do
        local address = body(offset, 1):uint()
        local r = registers[address]
        local item = tree:add(pf.register, body(offset, 1))
        if r == nil then
            item:add_proto_expert_info(ef.unknown_register,
                string.format("Register address 0x%02x is outside the register map", address))
        elseif r.width == 0 then
            item:add_proto_expert_info(ef.register_misused, r.name .. " is a command and cannot be read")
        end
        names[#names + 1] = r and r.name or string.format("0x%02x", address)
    end
    return names
end

local function expect_length(item, actual, expected, what)
    if actual ~= expected then
        item:add_proto_expert_info(ef.unexpected_length,
            string.format("%s carries %d body bytes, not %d", what, actual, expected))
    end
end

local function plural(n, one, many)
    return string.format("%d %s", n, n == 1 and one or many)
end

-- Dissects one whole packet in `tvb` (header, body, checksum) and returns the text
-- that the Info column shows for it.
local function dissect_packet(tvb, pinfo, tree, over_udp)
    local code = tvb(0, 2):uint()
    local body_length = tvb(4, 2):uint()
    local from_module = pinfo.src_port == (over_udp and UDP_PORT or MAIN_PORT)
    local name = function_names[code] or string.format("Unknown function 0x%04x", code)

    local root = tree:add(netpod, tvb(0, HEADER_SIZE + body_length + CHECKSUM_SIZE))
    local func_item = root:add(pf.func, tvb(0, 2))
    root:add(pf.ask_id, tvb(2, 2))
    local length_item = root:add(pf.length, tvb(4, 2))
    local body = body_length > 0 and tvb(HEADER_SIZE, body_length) or nil

    local info = name
    if code == FUNCTION.READ then
        if body then
            local names = dissect_read_request(body, root)
            if over_udp and body_length == 4 and table.concat(names, ",") == "TYPE,VERSION,MODULENAME,ETHERNETMAC" then
                info = info .. " (network scan)"
            else
                info = info .. ": " .. table.concat(names, ", ")
            end
        end
    elseif code == FUNCTION.READ_ANSWER then
        if body then
            local items = root:add(pf.body, body)
            local count, record = dissect_items(body, pinfo, items, false)
            items:set_text("Register items (" .. count .. ")")
            info = info .. ", " .. plural(count, "register", "registers")
            -- Over UDP an answer that carries the MAC address completes one module
            -- record of a network scan, with the sender's address as the module's.
            -- What the body did not carry before the MAC address stays zero or empty.
            if over_udp and record.mac then
                local type_ = record.type or { text = "0.0", range = body }
                local version = record.version or { text = "0.0", range = body }
                local name_ = record.name or { text = "", range = body }
                local m = root:add(pf.module, body)
                m:set_generated()
                m:add(pf.module_address, pinfo.src):set_generated()
                m:add(pf.module_type, type_.range, type_.text):set_generated()
                m:add(pf.module_version, version.range, version.text):set_generated()
                m:add(pf.module_mac, record.mac):set_generated()
                m:add(pf.module_name, name_.range, name_.text):set_generated()
                m:set_text(string.format('Module record: %s, %s, type %s, version %s, "%s"', tostring(pinfo.src),
                    mac_text(record.mac), type_.text, version.text, name_.text))
                info = string.format('Module %s "%s" at %s, type %s', mac_text(record.mac), name_.text,
                    tostring(pinfo.src), type_.text)
            end
        else
            info = info .. " (empty)"
        end
    elseif code == FUNCTION.WRITE then
        if body then
            local items = root:add(pf.body, body)
            local count = dissect_items(body, pinfo, items, true)
            items:set_text("Register items (" .. count .. ")")
            info = info .. ", " .. plural(count, "item", "items")
        elseif from_module then
            info = info .. " (acknowledge)"
        end
    elseif code == FUNCTION.I2C_TRANSFER then
        if body then root:add(pf.i2c_data, body) end
        info = string.format("%s, AskID %d, %s", info, tvb(2, 2):uint(), plural(body_length, "byte", "bytes"))
    elseif code == FUNCTION.I2C_TRANSFER_ANSWER then
        if body then root:add(pf.i2c_answer, body) end
        if body_length > LIBRARY_MAX_I2C_ANSWER then
            length_item:add_proto_expert_info(ef.too_long, string.format(
                "The library keeps only the first %d bytes of an I2C answer", LIBRARY_MAX_I2C_ANSWER))
        end
        info = string.format("%s, AskID %d, %s", info, tvb(2, 2):uint(), plural(body_length, "byte", "bytes"))
    elseif code == FUNCTION.I2C_SCAN then
        expect_length(length_item, body_length, 0, "An I2C scan")
        if body then root:add(pf.undecoded, body) end
    elseif code == FUNCTION.I2C_SCAN_ANSWER then
        if body then root:add(pf.i2c_scan_result, body) end
        if body_length > LIBRARY_MAX_I2C_SCAN then
            length_item:add_proto_expert_info(ef.too_long, string.format(
                "The library keeps only the first %d bytes of an I2C scan result", LIBRARY_MAX_I2C_SCAN))
        end
        info = info .. ", " .. plural(body_length, "byte", "bytes")
    elseif code == FUNCTION.CHANGE_IP then
        if from_module then
            info = info .. " (acknowledge)"
            if body then root:add(pf.undecoded, body) end
        elseif body_length == 14 then
            root:add(pf.target_mac, body(0, 6))
            root:add(pf.new_ip, body(6, 4))
            root:add(pf.new_mask, body(10, 4))
            info = string.format("%s: module %s to %s mask %s", info, mac_text(body(0, 6)), dotted_text(body(6, 4)),
                dotted_text(body(10, 4)))
        else
            expect_length(length_item, body_length, 14, "A change of IP address")
            if body then root:add(pf.undecoded, body) end
        end
    else
        func_item:add_proto_expert_info(ef.unknown_function,
            string.format("Function code 0x%04x is not one the modules know", code))
        if body then root:add(pf.body, body) end
    end

    if not over_udp and from_module and body_length > LIBRARY_MAX_BODY then
        length_item:add_proto_expert_info(ef.too_long, string.format(
            "The library skips answers whose body exceeds %d bytes", LIBRARY_MAX_BODY))
    end

    local covered = HEADER_SIZE + body_length
    local received = tvb(covered, CHECKSUM_SIZE):uint()
    local computed = ostrak_checksum(tvb(0, covered):bytes())
    local checksum_item = root:add(pf.checksum, tvb(covered, CHECKSUM_SIZE))
    local good = received == computed
    checksum_item:add(pf.checksum_computed, tvb(covered, CHECKSUM_SIZE), computed):set_generated()
    checksum_item:add(pf.checksum_status, tvb(covered, CHECKSUM_SIZE), good and 1 or 0):set_generated()
    if good then
        checksum_item:append_text(" [correct]")
    else
        checksum_item:append_text(string.format(" [incorrect, should be 0x%04x]", computed))
        checksum_item:add_proto_expert_info(ef.bad_checksum,
            string.format("Bad checksum 0x%04x, should be 0x%04x; the receiver drops this packet", received, computed))
        info = info .. " [BAD CHECKSUM]"
    end
    root:append_text(", " .. info)
    return info
end

-- Several packets may share one frame: the first sets the Info column, the others
-- are appended to it.
local function show_info(pinfo, text)
    if tostring(pinfo.cols.protocol) ~= "NETPOD" then
        pinfo.cols.protocol:set("NETPOD")
        pinfo.cols.info:set(text)
    else
        pinfo.cols.info:append("; " .. text)
    end
end

local function tcp_packet_length(tvb, pinfo, offset)
    return HEADER_SIZE + tvb(offset + 4, 2):uint() + CHECKSUM_SIZE
end

local function dissect_tcp_packet(tvb, pinfo, tree)
    show_info(pinfo, dissect_packet(tvb, pinfo, tree, false))
    return tvb:len()
end

local function dissect_tcp(tvb, pinfo, tree)
    dissect_tcp_pdus(tvb, tree, HEADER_SIZE, tcp_packet_length, dissect_tcp_packet, true)
    return tvb:len()
end

-- A datagram holds whole packets back to back. A packet cut at the end of one is
-- completed by the library from the next datagram; here it is shown as incomplete.
local function dissect_udp(tvb, pinfo, tree)
    local offset = 0
    local length = tvb:len()
    while offset < length do
        local remaining = length - offset
        local needed = HEADER_SIZE
        if remaining >= HEADER_SIZE then
            needed = HEADER_SIZE + tvb(offset + 4, 2):uint() + CHECKSUM_SIZE
        end
        if remaining < needed then
            local root = tree:add(netpod, tvb(offset))
            root:append_text(", incomplete packet")
            root:add(pf.undecoded, tvb(offset))
            root:add_proto_expert_info(ef.incomplete, string.format(
                "The datagram ends %d bytes before this packet does; the rest may follow in the next datagram",
                needed - remaining))
            show_info(pinfo, "Incomplete packet")
            break
        end
        show_info(pinfo, dissect_packet(tvb(offset, needed):tvb(), pinfo, tree, true))
        offset = offset + needed
    end
    return length
end

function netpod.dissector(tvb, pinfo, tree)
    if pinfo.port_type == 2 then   -- TCP
        return dissect_tcp(tvb, pinfo, tree)
    end
    return dissect_udp(tvb, pinfo, tree)
end

DissectorTable.get("udp.port"):add(UDP_PORT, netpod)
DissectorTable.get("tcp.port"):add(MAIN_PORT, netpod)
