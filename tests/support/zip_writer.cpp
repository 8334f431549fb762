#include "zip_writer.h"

#include <zlib.h>

#include <stdexcept>

#include "compressors.h"

namespace korvel {

namespace {

void put16(Bytes& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put32(Bytes& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

std::uint32_t get16(const Bytes& in, std::size_t at) { return in.at(at) | in.at(at + 1) << 8; }
std::uint32_t get32(const Bytes& in, std::size_t at) { return get16(in, at) | get16(in, at + 2) << 16; }

}  // namespace

Bytes writeZip(const std::vector<ZipMember>& members) {
    Bytes archive, directory;
    for (const auto& member : members) {
        const Bytes packed = deflateRaw(member.data, 9);
        const auto crc = static_cast<std::uint32_t>(crc32(0, member.data.data(), static_cast<uInt>(member.data.size())));
        const auto headerOffset = static_cast<std::uint32_t>(archive.size());
        // The fields both headers share: version, flags, method 8 (deflate), time, date, CRC,
        // sizes, name length.
        Bytes common;
        put16(common, 20);
        put16(common, 0);
        put16(common, 8);
        put16(common, 0);
        put16(common, 0x21);
        put32(common, crc);
        put32(common, static_cast<std::uint32_t>(packed.size()));
        put32(common, static_cast<std::uint32_t>(member.data.size()));
        put16(common, static_cast<std::uint32_t>(member.name.size()));

        put32(archive, 0x04034b50);
        archive.insert(archive.end(), common.begin(), common.end());
        put16(archive, 0);  // extra field length
        archive.insert(archive.end(), member.name.begin(), member.name.end());
        archive.insert(archive.end(), packed.begin(), packed.end());

        put32(directory, 0x02014b50);
        put16(directory, 20);  // made by
        directory.insert(directory.end(), common.begin(), common.end());
        for (int field = 0; field < 3; ++field) put16(directory, 0);  // extra, comment, disk
        put16(directory, 0);  // internal attributes
        put32(directory, 0);  // external attributes
        put32(directory, headerOffset);
        directory.insert(directory.end(), member.name.begin(), member.name.end());
    }
    const auto directoryOffset = static_cast<std::uint32_t>(archive.size());
    archive.insert(archive.end(), directory.begin(), directory.end());
    put32(archive, 0x06054b50);
    put16(archive, 0);
    put16(archive, 0);
    put16(archive, static_cast<std::uint32_t>(members.size()));
    put16(archive, static_cast<std::uint32_t>(members.size()));
    put32(archive, static_cast<std::uint32_t>(directory.size()));
    put32(archive, directoryOffset);
    put16(archive, 0);
    return archive;
}

std::vector<ZipEntry> readZipDirectory(const Bytes& archive) {
    if (archive.size() < 22 || get32(archive, archive.size() - 22) != 0x06054b50)
        throw std::runtime_error("no end of central directory record");
    const std::size_t count = get16(archive, archive.size() - 12);
    std::size_t at = get32(archive, archive.size() - 6);
    std::vector<ZipEntry> entries;
    for (std::size_t i = 0; i < count; ++i) {
        if (get32(archive, at) != 0x02014b50) throw std::runtime_error("bad central directory entry");
        const std::uint64_t compressedSize = get32(archive, at + 20);
        const std::uint64_t size = get32(archive, at + 24);
        const std::size_t headerOffset = get32(archive, at + 42);
        const std::size_t dataOffset =
            headerOffset + 30 + get16(archive, headerOffset + 26) + get16(archive, headerOffset + 28);
        entries.push_back({dataOffset, compressedSize, size});
        at += 46 + get16(archive, at + 28) + get16(archive, at + 30) + get16(archive, at + 32);
    }
    return entries;
}

}  // namespace korvel
