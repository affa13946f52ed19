#include "pe_image.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace pe {
namespace {

class Reader {
public:
    explicit Reader(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    bool Has(std::size_t offset, std::size_t size) const
    {
        return offset <= bytes_.size() && size <= bytes_.size() - offset;
    }
    std::uint16_t U16(std::size_t offset) const
    {
        return Has(offset, 2) ? static_cast<std::uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8) : 0;
    }
    std::uint32_t U32(std::size_t offset) const
    {
        return Has(offset, 4)
                   ? static_cast<std::uint32_t>(U16(offset)) | static_cast<std::uint32_t>(U16(offset + 2)) << 16
                   : 0;
    }
    std::string CString(std::size_t offset) const
    {
        std::string s;
        while (offset < bytes_.size() && bytes_[offset] != 0)
            s.push_back(static_cast<char>(bytes_[offset++]));
        return s;
    }
    std::vector<std::uint8_t> Slice(std::size_t offset, std::size_t size) const
    {
        if (!Has(offset, size))
            return {};
        return {bytes_.begin() + static_cast<std::ptrdiff_t>(offset),
                bytes_.begin() + static_cast<std::ptrdiff_t>(offset + size)};
    }

private:
    std::vector<std::uint8_t> bytes_;
};

struct Section {
    std::uint32_t rva, virtual_size, file_offset, raw_size;
};

class Mapper {
public:
    explicit Mapper(std::vector<Section> sections) : sections_(std::move(sections)) {}
    // File offset of an RVA, or SIZE_MAX when no section holds it.
    std::size_t Offset(std::uint32_t rva) const
    {
        for (const Section &s : sections_) {
            std::uint32_t size = s.virtual_size > s.raw_size ? s.virtual_size : s.raw_size;
            if (rva >= s.rva && rva - s.rva < size)
                return s.file_offset + (rva - s.rva);
        }
        return SIZE_MAX;
    }

private:
    std::vector<Section> sections_;
};

constexpr std::size_t kMaxEntries = 4096;  // bounds every walk of a damaged file

bool ReadImports(const Reader &r, const Mapper &m, std::uint32_t rva, Image &image, std::string &error)
{
    if (rva == 0)
        return true;
    std::size_t desc = m.Offset(rva);
    for (std::size_t i = 0; i < kMaxEntries; ++i, desc += 20) {
        if (desc == SIZE_MAX || !r.Has(desc, 20)) {
            error = "import directory outside the file";
            return false;
        }
        std::uint32_t lookup = r.U32(desc), name = r.U32(desc + 12), thunk = r.U32(desc + 16);
        if (lookup == 0 && name == 0 && thunk == 0)
            return true;
        std::string dll = r.CString(m.Offset(name));
        std::size_t entry = m.Offset(lookup != 0 ? lookup : thunk);
        for (std::size_t j = 0; j < kMaxEntries; ++j, entry += 4) {
            if (entry == SIZE_MAX || !r.Has(entry, 4)) {
                error = "import lookup table outside the file";
                return false;
            }
            std::uint32_t value = r.U32(entry);
            if (value == 0)
                break;
            if (value & 0x80000000u)
                image.imports.push_back({dll, "", static_cast<std::uint16_t>(value & 0xFFFF)});
            else
                image.imports.push_back({dll, r.CString(m.Offset(value) + 2), 0});
        }
    }
    error = "import directory without an end";
    return false;
}

ResourceName EntryName(const Reader &r, std::size_t base, std::uint32_t name)
{
    if (!(name & 0x80000000u))
        return ResourceId(name);
    std::size_t at = base + (name & 0x7FFFFFFFu);
    std::string s;
    for (std::uint16_t i = 0, n = r.U16(at); i < n; ++i) {
        std::uint16_t c = r.U16(at + 2 + 2u * i);
        s.push_back(c < 128 ? static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c) : '?');
    }
    return s;
}

// Walks the three levels type / name / language of the resource tree.
void ReadResources(const Reader &r, const Mapper &m, std::uint32_t rva, Image &image)
{
    if (rva == 0)
        return;
    std::size_t base = m.Offset(rva);
    if (base == SIZE_MAX)
        return;
    auto entries = [&](std::size_t dir) {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
        std::size_t count = static_cast<std::size_t>(r.U16(dir + 12)) + r.U16(dir + 14);
        for (std::size_t i = 0; i < count && i < kMaxEntries; ++i)
            out.emplace_back(r.U32(dir + 16 + 8 * i), r.U32(dir + 20 + 8 * i));
        return out;
    };
    for (auto [type, type_off] : entries(base)) {
        if (!(type_off & 0x80000000u))
            continue;
        for (auto [name, name_off] : entries(base + (type_off & 0x7FFFFFFFu))) {
            if (!(name_off & 0x80000000u))
                continue;
            for (auto [lang, leaf] : entries(base + (name_off & 0x7FFFFFFFu))) {
                if (leaf & 0x80000000u)
                    continue;
                std::size_t data_entry = base + leaf;
                std::size_t data = m.Offset(r.U32(data_entry));
                image.resources[EntryName(r, base, type)][EntryName(r, base, name)].push_back(
                    {lang, data == SIZE_MAX ? std::vector<std::uint8_t>{} : r.Slice(data, r.U32(data_entry + 4))});
            }
        }
    }
}

}  // namespace

ResourceName ResourceId(std::uint32_t id) { return "#" + std::to_string(id); }

std::optional<Image> Load(const std::string &path, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    Reader r(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}));
    if (r.U16(0) != 0x5A4D) {
        error = "no MZ header";
        return std::nullopt;
    }
    std::size_t nt = r.U32(0x3C);
    if (r.U32(nt) != 0x00004550) {
        error = "no PE signature";
        return std::nullopt;
    }
    Image image;
    std::size_t file_header = nt + 4, opt = nt + 24;
    image.machine = r.U16(file_header);
    std::uint16_t section_count = r.U16(file_header + 2);
    std::uint16_t opt_size = r.U16(file_header + 16);
    image.characteristics = r.U16(file_header + 18);
    image.optional_magic = r.U16(opt);
    if (image.optional_magic != 0x10B || opt_size < 96 + 16 * 8) {
        error = "not a PE32 optional header";
        return std::nullopt;
    }
    image.os_major = r.U16(opt + 40);
    image.os_minor = r.U16(opt + 42);
    image.subsystem_major = r.U16(opt + 48);
    image.subsystem_minor = r.U16(opt + 50);
    image.subsystem = r.U16(opt + 68);
    std::uint32_t import_rva = r.U32(opt + 96 + 8 * 1);
    std::uint32_t resource_rva = r.U32(opt + 96 + 8 * 2);

    std::vector<Section> sections;
    for (std::size_t i = 0, s = opt + opt_size; i < section_count; ++i, s += 40)
        sections.push_back({r.U32(s + 12), r.U32(s + 8), r.U32(s + 20), r.U32(s + 16)});
    Mapper m(std::move(sections));
    if (!ReadImports(r, m, import_rva, image, error))
        return std::nullopt;
    ReadResources(r, m, resource_rva, image);
    return image;
}

std::vector<std::string> DecodeStringBlock(const std::vector<std::uint8_t> &block)
{
    std::vector<std::string> out;
    Reader r(block);
    std::size_t at = 0;
    for (int i = 0; i < 16; ++i) {
        std::uint16_t n = r.U16(at);
        at += 2;
        std::string s;
        for (std::uint16_t k = 0; k < n && r.Has(at, 2); ++k, at += 2) {
            std::uint16_t c = r.U16(at);
            s.push_back(c < 128 ? static_cast<char>(c) : '?');
        }
        out.push_back(s);
    }
    return out;
}

std::optional<FixedVersion> DecodeFixedVersion(const std::vector<std::uint8_t> &version)
{
    Reader r(version);
    for (std::size_t at = 0; r.Has(at, 52); at += 4) {
        if (r.U32(at) != 0xFEEF04BDu)
            continue;
        FixedVersion v;
        std::uint32_t words[4] = {r.U32(at + 8), r.U32(at + 12), r.U32(at + 16), r.U32(at + 20)};
        v.file[0] = static_cast<std::uint16_t>(words[0] >> 16);
        v.file[1] = static_cast<std::uint16_t>(words[0]);
        v.file[2] = static_cast<std::uint16_t>(words[1] >> 16);
        v.file[3] = static_cast<std::uint16_t>(words[1]);
        v.product[0] = static_cast<std::uint16_t>(words[2] >> 16);
        v.product[1] = static_cast<std::uint16_t>(words[2]);
        v.product[2] = static_cast<std::uint16_t>(words[3] >> 16);
        v.product[3] = static_cast<std::uint16_t>(words[3]);
        return v;
    }
    return std::nullopt;
}

}  // namespace pe
