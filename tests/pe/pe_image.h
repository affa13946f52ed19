// A reader for the parts of a 32-bit PE image that the Windows build is
// checked on: file header, optional header, import table and resources.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pe {

struct Import {
    std::string dll;        // as written in the image
    std::string function;   // empty for an import by ordinal
    std::uint16_t ordinal;  // only for an import by ordinal
};

// One resource leaf: type/name/language path and its bytes.
struct Resource {
    std::uint32_t language;
    std::vector<std::uint8_t> data;
};

// A resource name is a number or a text (upper-cased, as resource compilers
// store it).
using ResourceName = std::string;
ResourceName ResourceId(std::uint32_t id);

struct Image {
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint16_t optional_magic = 0;
    std::uint16_t subsystem = 0;
    std::uint16_t os_major = 0, os_minor = 0;
    std::uint16_t subsystem_major = 0, subsystem_minor = 0;
    std::vector<Import> imports;
    // type -> name -> resources of that name, one per language
    std::map<ResourceName, std::map<ResourceName, std::vector<Resource>>> resources;
};

// Parses the file; on failure returns nothing and says why in error.
std::optional<Image> Load(const std::string &path, std::string &error);

// The strings of one string-table block (16 entries, UTF-16 decoded to
// ASCII; characters above 127 become '?').
std::vector<std::string> DecodeStringBlock(const std::vector<std::uint8_t> &block);

struct FixedVersion {
    std::uint16_t file[4];
    std::uint16_t product[4];
};
// VS_FIXEDFILEINFO of a version resource, when its signature is found.
std::optional<FixedVersion> DecodeFixedVersion(const std::vector<std::uint8_t> &version);

}  // namespace pe
