"""Decoder for the report lists carried by the sensor's fields.

Written from the wire rules alone: a big-endian dynamic array (4-byte length)
of structures (4-byte length), each a sequence of tagged members. A tag is two
bytes: bit 7 reserved (0), bits 6..4 the wire type, then a 12-bit data ID that
is always 0, so members are recognised by their order and wire type.
Wire type 1: 2 bytes, 2: 4 bytes, 3: 8 bytes, 7: 4-byte length then bytes.
"""

# Member kinds: how a member's value is shown.
U16, U32, U64, ENUM32, TYPE_ID, STRING, BYTES = "u16", "u32", "u64", "enum32", "typeid", "string", "bytes"

WIRE_TYPE = {U16: 1, U32: 2, ENUM32: 2, U64: 3, TYPE_ID: 7, STRING: 7, BYTES: 7}

HEAD = [("reportTypeId", TYPE_ID), ("swId", U16), ("timestamp", U64)]

RECORDS = {
    "DT_specialFrameReports_struct": HEAD + [
        ("payload", BYTES), ("frameType", ENUM32), ("truncatedLength", U16)],
    "DT_serviceDiscoveryReports_struct": HEAD + [
        ("reserved4", U16), ("reserved5", U16), ("payload", BYTES), ("truncatedLength", U16)],
    "DT_classifierMatchReports_struct": HEAD + [
        ("reserved4", U16), ("logPrefix", STRING), ("payload", BYTES), ("truncatedLength", U16)],
    "DT_trafficFlowSamples_struct": HEAD + [
        ("sourceIpAddr", STRING), ("destinationIpAddr", STRING), ("reserved6", STRING), ("reserved7", STRING),
        ("protocol", ENUM32), ("sourcePort", U16), ("destinationPort", U16), ("packets", U32), ("bytes", U64)],
    "DT_firewallFilterReports_struct": HEAD + [
        ("reserved4", STRING), ("reserved5", U16), ("logPrefix", STRING), ("payload", BYTES),
        ("truncatedLength", U16)],
}

# service -> field -> (index, record type)
SERVICES = {
    "IDSEthernetSensor": {
        "classifierMatchReports": (0, "DT_classifierMatchReports_struct"),
        "serviceDiscoveryReports": (1, "DT_serviceDiscoveryReports_struct"),
        "specialFrameReports": (2, "DT_specialFrameReports_struct"),
        "trafficFlowSamples": (3, "DT_trafficFlowSamples_struct"),
    },
    "IDSIpSecuritySensor": {
        "firewallFilterReports": (0, "DT_firewallFilterReports_struct"),
    },
}


class MalformedPayload(ValueError):
    """The bytes are not a well-formed list of the expected record type."""


def _u32(data, offset, what):
    if offset + 4 > len(data):
        raise MalformedPayload(f"{what} at byte {offset} runs past the end of the data")
    return int.from_bytes(data[offset:offset + 4], "big")


def _read_tags(content, base):
    """Splits one structure's content into (wire type, value bytes) pairs."""
    tags = []
    pos = 0
    while pos < len(content):
        where = base + pos
        if pos + 2 > len(content):
            raise MalformedPayload(f"tag at byte {where} is cut off")
        first, second = content[pos], content[pos + 1]
        if first & 0x80:
            raise MalformedPayload(f"tag at byte {where} has its reserved bit set")
        wire_type = (first >> 4) & 0x7
        data_id = ((first & 0x0F) << 8) | second
        if data_id != 0:
            raise MalformedPayload(f"tag at byte {where} carries data ID {data_id}; these records use 0")
        pos += 2
        if wire_type in (1, 2, 3):
            size = {1: 2, 2: 4, 3: 8}[wire_type]
        elif wire_type == 7:
            size = _u32(content, pos, f"length of the member at byte {where}")
            pos += 4
        else:
            raise MalformedPayload(f"tag at byte {where} has wire type {wire_type}, which no member uses")
        if pos + size > len(content):
            raise MalformedPayload(f"member at byte {where} needs {size} bytes, only {len(content) - pos} remain")
        tags.append((wire_type, bytes(content[pos:pos + size]), where))
        pos += size
    return tags


def _matchings(tags, members, t=0, m=0, chosen=()):
    """Every order-preserving placement of the tags onto members of the same wire type."""
    if t == len(tags):
        yield chosen
        return
    for i in range(m, len(members) - (len(tags) - t) + 1):
        if WIRE_TYPE[members[i][1]] == tags[t][0]:
            yield from _matchings(tags, members, t + 1, i + 1, chosen + (i,))


def _place(tags, record_type, where):
    members = RECORDS[record_type]
    options = list(_matchings(tags, members))
    if not options:
        kinds = " ".join(str(t[0]) for t in tags)
        raise MalformedPayload(f"record at byte {where}: wire types [{kinds}] do not fit {record_type}")
    if len(options) > 1:
        # Several readings: the sensor never fills the reserved members, so
        # prefer the one reading that leaves them out.
        options = [o for o in options if not any(members[i][0].startswith("reserved") for i in o)]
        if len(options) != 1:
            raise MalformedPayload(f"record at byte {where}: members of {record_type} cannot be told apart")
    return options[0]


def _value(kind, raw, name, where):
    if kind == TYPE_ID:
        if len(raw) != 8:
            raise MalformedPayload(f"{name} at byte {where} has {len(raw)} bytes instead of 8")
        return raw.hex()
    if kind == BYTES:
        return raw.hex()
    if kind == STRING:
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError as e:
            raise MalformedPayload(f"{name} at byte {where} is not UTF-8 text ({e.reason})") from None
    return int.from_bytes(raw, "big")


def decode_record(content, record_type, base=0):
    tags = _read_tags(content, base)
    members = RECORDS[record_type]
    record = {}
    for tag, index in zip(tags, _place(tags, record_type, base)):
        name, kind = members[index]
        record[name] = _value(kind, tag[1], name, tag[2])
    # Keep declaration order in the output.
    return {name: record[name] for name, _ in members if name in record}


def decode_list(data, record_type):
    """Returns the records of a serialized list as dictionaries."""
    if record_type not in RECORDS:
        raise KeyError(record_type)
    data = bytes(data)
    length = _u32(data, 0, "array length")
    if length != len(data) - 4:
        raise MalformedPayload(f"array length {length} disagrees with the {len(data) - 4} bytes that follow it")
    records = []
    pos = 4
    while pos < len(data):
        size = _u32(data, pos, "struct length")
        if pos + 4 + size > len(data):
            raise MalformedPayload(f"struct at byte {pos} claims {size} bytes, only {len(data) - pos - 4} remain")
        records.append(decode_record(data[pos + 4:pos + 4 + size], record_type, pos + 4))
        pos += 4 + size
    return records
