#include "core_wire.h"

#include <cstring>

namespace vrcc {

std::vector<BYTE> EncodeFrame(uint16_t command, uint64_t id, uint32_t status, const std::vector<BYTE>& payload) {
    FrameHeader h{kMagic, kVersion, command, id, status, static_cast<uint32_t>(payload.size()), 0};
    std::vector<BYTE> out(sizeof h + payload.size());
    std::memcpy(out.data(), &h, sizeof h);
    if (!payload.empty()) std::memcpy(out.data() + sizeof h, payload.data(), payload.size());
    return out;
}

FrameHeader PeekHeader(const BYTE* data, size_t size) {
    if (size < sizeof(FrameHeader)) throw ProtocolError("frame shorter than its header");
    FrameHeader h;
    std::memcpy(&h, data, sizeof h);
    if (h.magic != kMagic) throw ProtocolError("bad magic");
    if (h.version != kVersion) throw ProtocolError("unknown version");
    if (h.reserved != 0) throw ProtocolError("reserved field set");
    if (h.payloadSize > kMaxPayload) throw ProtocolError("declared payload too large");
    return h;
}

FrameHeader CheckHeader(const BYTE* data, size_t size) {
    const FrameHeader h = PeekHeader(data, size);
    if (size != sizeof h + h.payloadSize) throw ProtocolError("frame length differs from its header");
    return h;
}

PayloadWriter& PayloadWriter::raw(const void* data, size_t size) {
    const BYTE* p = static_cast<const BYTE*>(data);
    m_data.insert(m_data.end(), p, p + size);
    return *this;
}

PayloadWriter& PayloadWriter::str(const std::wstring& s) {
    u32(static_cast<uint32_t>(s.size()));
    return raw(s.data(), s.size() * sizeof(wchar_t));
}

PayloadWriter& PayloadWriter::bytes(const void* data, size_t size) {
    u32(static_cast<uint32_t>(size));
    return size ? raw(data, size) : *this;
}

const BYTE* PayloadReader::take(size_t n) {
    if (n > m_size - m_pos) throw ProtocolError("field runs past the payload");
    const BYTE* p = m_data + m_pos;
    m_pos += n;
    return p;
}

uint16_t PayloadReader::u16() {
    uint16_t v;
    std::memcpy(&v, take(sizeof v), sizeof v);
    return v;
}

uint32_t PayloadReader::u32() {
    uint32_t v;
    std::memcpy(&v, take(sizeof v), sizeof v);
    return v;
}

uint64_t PayloadReader::u64() {
    uint64_t v;
    std::memcpy(&v, take(sizeof v), sizeof v);
    return v;
}

std::wstring PayloadReader::str(uint32_t maxChars) {
    const uint32_t chars = u32();
    if (chars > maxChars) throw ProtocolError("text too long");
    const BYTE* p = take(static_cast<size_t>(chars) * sizeof(wchar_t));
    std::wstring s(chars, L'\0');
    if (chars) std::memcpy(&s[0], p, chars * sizeof(wchar_t));
    if (s.find(L'\0') != std::wstring::npos) throw ProtocolError("text holds a NUL");
    return s;
}

const BYTE* PayloadReader::bytes(uint32_t maxSize, uint32_t& size) {
    size = u32();
    if (size > maxSize) throw ProtocolError("byte field too long");
    return take(size);
}

std::vector<BYTE> PayloadReader::byteVector(uint32_t maxSize) {
    uint32_t size = 0;
    const BYTE* p = bytes(maxSize, size);
    return std::vector<BYTE>(p, p + size);
}

void PayloadReader::end() const {
    if (m_pos != m_size) throw ProtocolError("bytes after the last field");
}

} // namespace vrcc
