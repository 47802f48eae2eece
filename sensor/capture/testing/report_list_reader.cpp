#include "sensor/capture/testing/report_list_reader.h"

namespace capture_kernel {

namespace {

class Cursor {
public:
    Cursor(const std::vector<std::uint8_t>& bytes, std::size_t begin, std::size_t end)
        : m_bytes(bytes), m_pos(begin), m_end(end) {}

    bool read(std::size_t size, std::uint64_t& value) {
        if (m_end - m_pos < size) {
            return false;
        }
        value = 0;
        for (std::size_t i = 0; i < size; ++i) {
            value = (value << 8) | m_bytes[m_pos++];
        }
        return true;
    }

    bool take(std::size_t size, std::vector<std::uint8_t>& out) {
        if (m_end - m_pos < size) {
            return false;
        }
        out.assign(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos),
                   m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos + size));
        m_pos += size;
        return true;
    }

    std::size_t pos() const { return m_pos; }
    bool done() const { return m_pos == m_end; }

private:
    const std::vector<std::uint8_t>& m_bytes;
    std::size_t m_pos;
    std::size_t m_end;
};

bool read_member(Cursor& cursor, Wire_member& member) {
    std::uint64_t tag = 0;
    if (!cursor.read(2, tag)) {
        return false;
    }
    member.wire_type = static_cast<unsigned>((tag >> 12) & 0x7);
    switch (member.wire_type) {
        case 1:
            return cursor.read(2, member.number);
        case 2:
            return cursor.read(4, member.number);
        case 3:
            return cursor.read(8, member.number);
        case 7: {
            std::uint64_t length = 0;
            return cursor.read(4, length) && cursor.take(static_cast<std::size_t>(length), member.bytes);
        }
        default:
            return false;
    }
}

}  // namespace

std::optional<std::vector<Wire_record>> read_report_list(const std::vector<std::uint8_t>& payload) {
    Cursor outer(payload, 0, payload.size());
    std::uint64_t array_length = 0;
    if (!outer.read(4, array_length) || array_length != payload.size() - 4) {
        return std::nullopt;
    }
    std::vector<Wire_record> records;
    std::size_t pos = 4;
    while (pos < payload.size()) {
        Cursor head(payload, pos, payload.size());
        std::uint64_t struct_length = 0;
        if (!head.read(4, struct_length) || struct_length > payload.size() - pos - 4) {
            return std::nullopt;
        }
        const std::size_t end = pos + 4 + static_cast<std::size_t>(struct_length);
        Cursor body(payload, pos + 4, end);
        Wire_record record;
        while (!body.done()) {
            Wire_member member;
            if (!read_member(body, member)) {
                return std::nullopt;
            }
            record.push_back(std::move(member));
        }
        records.push_back(std::move(record));
        pos = end;
    }
    return records;
}

}  // namespace capture_kernel
