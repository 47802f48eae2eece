-- Decodes the report lists that the sensor's services carry in every field
-- notification and Get answer, on top of Wireshark's SOME/IP dissector:
--
--   tshark -X lua_script:tools/wireshark/ids_reports.lua \
--          -d udp.port==30501,someip -d udp.port==30502,someip -V
--
-- or copy this file into Wireshark's personal Lua plugin folder. Filter
-- with "ids", or a member, such as ids.swId == 42 or ids.sourceIpAddr.
--
-- Wire form of a list: a 4-byte array length, then per record a 4-byte
-- struct length and its present members as tag-length-value items, in
-- declaration order. Every tag has data ID 0, so a member is recognised by
-- its order and wire type; where that allows several readings the one that
-- leaves the reserved members out is taken (the sensor never fills them).

local ids = Proto("ids", "IDS sensor reports")

local frame_types = {
    [0] = "L2TP", [1] = "DHCPv6", [2] = "ICMPv6", [3] = "TCP_CNTL",
    [4] = "XCP", [5] = "DoIP", [6] = "IPv4", [7] = "UDSoverIP",
}
local protocols = { [1] = "ICMP", [6] = "TCP", [17] = "UDP", [58] = "ICMPv6", [132] = "SCTP" }

local f = {
    field = ProtoField.string("ids.field", "Field"),
    records = ProtoField.uint32("ids.records", "Records"),
    arrayLength = ProtoField.uint32("ids.arrayLength", "Array length"),
    record = ProtoField.none("ids.record", "Record"),
    recordType = ProtoField.string("ids.recordType", "Record type"),
    structLength = ProtoField.uint32("ids.structLength", "Struct length"),
    reportTypeId = ProtoField.bytes("ids.reportTypeId", "reportTypeId"),
    swId = ProtoField.uint16("ids.swId", "swId"),
    timestamp = ProtoField.uint64("ids.timestamp", "timestamp"),
    payload = ProtoField.bytes("ids.payload", "payload"),
    frameType = ProtoField.uint32("ids.frameType", "frameType", base.DEC, frame_types),
    truncatedLength = ProtoField.uint16("ids.truncatedLength", "truncatedLength"),
    logPrefix = ProtoField.string("ids.logPrefix", "logPrefix"),
    sourceIpAddr = ProtoField.string("ids.sourceIpAddr", "sourceIpAddr"),
    destinationIpAddr = ProtoField.string("ids.destinationIpAddr", "destinationIpAddr"),
    protocol = ProtoField.uint32("ids.protocol", "protocol", base.DEC, protocols),
    sourcePort = ProtoField.uint16("ids.sourcePort", "sourcePort"),
    destinationPort = ProtoField.uint16("ids.destinationPort", "destinationPort"),
    packets = ProtoField.uint32("ids.packets", "packets"),
    bytes = ProtoField.uint64("ids.bytes", "bytes"),
    reserved4u16 = ProtoField.uint16("ids.reserved4", "reserved4"),
    reserved4str = ProtoField.string("ids.reserved4.text", "reserved4"),
    reserved5 = ProtoField.uint16("ids.reserved5", "reserved5"),
    reserved6 = ProtoField.string("ids.reserved6", "reserved6"),
    reserved7 = ProtoField.string("ids.reserved7", "reserved7"),
}
ids.fields = f

local e_malformed = ProtoExpert.new("ids.malformed", "Malformed report list", expert.group.MALFORMED,
                                    expert.severity.ERROR)
ids.experts = { e_malformed }

-- Members in declaration order: name, wire type, ProtoField, kind.
-- Kinds: "id" 8-byte array, "u" integer, "str" text, "bytes".
local function m(name, wt, field, kind, reserved)
    return { name = name, wt = wt, field = field, kind = kind, reserved = reserved or false }
end
local common = {
    m("reportTypeId", 7, f.reportTypeId, "id"), m("swId", 1, f.swId, "u"), m("timestamp", 3, f.timestamp, "u"),
}
local function record(name, ...)
    local members = { common[1], common[2], common[3] }
    for _, member in ipairs({ ... }) do members[#members + 1] = member end
    return { name = name, members = members }
end

local RECORDS = {
    specialFrame = record("DT_specialFrameReports_struct",
        m("payload", 7, f.payload, "bytes"), m("frameType", 2, f.frameType, "u"),
        m("truncatedLength", 1, f.truncatedLength, "u")),
    serviceDiscovery = record("DT_serviceDiscoveryReports_struct",
        m("reserved4", 1, f.reserved4u16, "u", true), m("reserved5", 1, f.reserved5, "u", true),
        m("payload", 7, f.payload, "bytes"), m("truncatedLength", 1, f.truncatedLength, "u")),
    classifierMatch = record("DT_classifierMatchReports_struct",
        m("reserved4", 1, f.reserved4u16, "u", true), m("logPrefix", 7, f.logPrefix, "str"),
        m("payload", 7, f.payload, "bytes"), m("truncatedLength", 1, f.truncatedLength, "u")),
    trafficFlow = record("DT_trafficFlowSamples_struct",
        m("sourceIpAddr", 7, f.sourceIpAddr, "str"), m("destinationIpAddr", 7, f.destinationIpAddr, "str"),
        m("reserved6", 7, f.reserved6, "str", true), m("reserved7", 7, f.reserved7, "str", true),
        m("protocol", 2, f.protocol, "u"), m("sourcePort", 1, f.sourcePort, "u"),
        m("destinationPort", 1, f.destinationPort, "u"), m("packets", 2, f.packets, "u"),
        m("bytes", 3, f.bytes, "u")),
    firewallFilter = record("DT_firewallFilterReports_struct",
        m("reserved4", 7, f.reserved4str, "str", true), m("reserved5", 1, f.reserved5, "u", true),
        m("logPrefix", 7, f.logPrefix, "str"), m("payload", 7, f.payload, "bytes"),
        m("truncatedLength", 1, f.truncatedLength, "u")),
}

-- Method/event index -> (field name, record) per service.
local ETHERNET_FIELDS = {
    [0] = { "classifierMatchReports", RECORDS.classifierMatch },
    [1] = { "serviceDiscoveryReports", RECORDS.serviceDiscovery },
    [2] = { "specialFrameReports", RECORDS.specialFrame },
    [3] = { "trafficFlowSamples", RECORDS.trafficFlow },
}
local IPSEC_FIELDS = { [0] = { "firewallFilterReports", RECORDS.firewallFilter } }

ids.prefs.ethernet_service = Pref.uint("IDSEthernetSensor service ID", 0x1001, "SOME/IP service ID")
ids.prefs.ipsec_service = Pref.uint("IDSIpSecuritySensor service ID", 0x1002, "SOME/IP service ID")

local someip_service = Field.new("someip.serviceid")
local someip_method = Field.new("someip.methodid")

local function last(extractor)
    local all = { extractor() }
    local fi = all[#all]
    return fi and fi.value
end

-- The TLV items of one record: { wt, offset, length of value, value offset }.
local function items(tvb, off, stop)
    local list = {}
    while off < stop do
        if stop - off < 2 then return nil end
        local wt = bit.band(bit.rshift(tvb(off, 1):uint(), 4), 7)
        local value_off, value_len
        if wt == 0 then value_len = 1
        elseif wt == 1 then value_len = 2
        elseif wt == 2 then value_len = 4
        elseif wt == 3 then value_len = 8
        else
            local size = ({ [5] = 1, [6] = 2, [7] = 4, [4] = 4 })[wt]
            if stop - off < 2 + size then return nil end
            value_len = tvb(off + 2, size):uint()
            value_off = off + 2 + size
        end
        value_off = value_off or off + 2
        if value_len > stop - value_off then return nil end
        list[#list + 1] = { wt = wt, off = off, value_off = value_off, value_len = value_len }
        off = value_off + value_len
    end
    return list
end

-- Assigns items to members in order; skip_reserved leaves reserved members out.
local function assign(members, list, skip_reserved)
    local result, next_member = {}, 1
    for _, item in ipairs(list) do
        local found
        for i = next_member, #members do
            local member = members[i]
            if member.wt == item.wt and not (skip_reserved and member.reserved) then
                found = i
                break
            end
        end
        if not found then return nil end
        result[#result + 1] = { member = members[found], item = item }
        next_member = found + 1
    end
    return result
end

local function add_member(tree, tvb, member, item)
    local range = tvb(item.off, item.value_off + item.value_len - item.off)
    local value = tvb(item.value_off, item.value_len)
    if member.kind == "u" then
        if item.value_len == 8 then
            tree:add(member.field, range, value:uint64())
        else
            tree:add(member.field, range, value:uint())
        end
    elseif member.kind == "str" then
        tree:add(member.field, range, item.value_len > 0 and value:string(ENC_UTF_8) or "")
    else
        -- A bytes field takes its value from the range itself.
        tree:add(member.field, value)
    end
end

function ids.dissector(tvb, pinfo, tree)
    -- Get requests and error answers carry no list.
    if tvb:len() == 0 then return 0 end
    local service, method = last(someip_service), last(someip_method)
    if service == nil or method == nil then return 0 end
    local fields
    if service == ids.prefs.ethernet_service then fields = ETHERNET_FIELDS
    elseif service == ids.prefs.ipsec_service then fields = IPSEC_FIELDS
    else return 0 end
    local entry = fields[bit.band(method, 0x7fff)]
    if entry == nil then return 0 end
    local field_name, rec = entry[1], entry[2]

    local root = tree:add(ids, tvb(), "IDS sensor reports: " .. field_name)
    root:add(f.field, field_name):set_generated()
    pinfo.cols.protocol:append("/IDS")
    if tvb:len() < 4 then
        root:add_proto_expert_info(e_malformed, "shorter than the array length field")
        return tvb:len()
    end
    local array_len = tvb(0, 4):uint()
    root:add(f.arrayLength, tvb(0, 4))
    if array_len > tvb:len() - 4 then
        root:add_proto_expert_info(e_malformed, "array length beyond the payload")
        return tvb:len()
    end
    local off, stop, count = 4, 4 + array_len, 0
    while off < stop do
        if stop - off < 4 then
            root:add_proto_expert_info(e_malformed, "truncated struct length")
            break
        end
        local len = tvb(off, 4):uint()
        if len > stop - off - 4 then
            root:add_proto_expert_info(e_malformed, "struct length beyond the list")
            break
        end
        count = count + 1
        local rtree = root:add(f.record, tvb(off, 4 + len))
        rtree:set_text(rec.name .. " #" .. count)
        rtree:add(f.recordType, rec.name):set_generated()
        rtree:add(f.structLength, tvb(off, 4))
        local list = items(tvb, off + 4, off + 4 + len)
        local reading = list and (assign(rec.members, list, true) or assign(rec.members, list, false))
        if reading == nil then
            rtree:add_proto_expert_info(e_malformed, "members do not fit " .. rec.name)
        else
            for _, pair in ipairs(reading) do
                add_member(rtree, tvb, pair.member, pair.item)
            end
        end
        off = off + 4 + len
    end
    root:add(f.records, count):set_generated()
    pinfo.cols.info:append(string.format(" [%s: %d]", field_name, count))
    return tvb:len()
end

local registered = {}
local function register()
    local table = DissectorTable.get("someip.messageid")
    for _, key in ipairs(registered) do table:remove(key, ids) end
    registered = {}
    for service, fields in pairs({ [ids.prefs.ethernet_service] = ETHERNET_FIELDS,
                                   [ids.prefs.ipsec_service] = IPSEC_FIELDS }) do
        for index, _ in pairs(fields) do
            for _, method in ipairs({ index, 0x8000 + index }) do
                local key = service * 0x10000 + method
                table:add(key, ids)
                registered[#registered + 1] = key
            end
        end
    end
end
ids.prefs_changed = register
register()
