#include "resources.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "machine.h"

namespace sim::win32 {

namespace {

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size, std::string source)
      : data_(data), size_(size), source_(std::move(source)) {}

  std::size_t pos() const { return pos_; }
  std::size_t size() const { return size_; }
  void seek(std::size_t p) {
    if (p > size_) fail("offset beyond the end");
    pos_ = p;
  }
  void align(std::size_t a) { seek(std::min(size_, (pos_ + a - 1) / a * a)); }
  std::uint16_t u16() {
    need(2);
    std::uint16_t v = static_cast<std::uint16_t>(data_[pos_] | data_[pos_ + 1] << 8);
    pos_ += 2;
    return v;
  }
  std::uint32_t u32() {
    std::uint32_t lo = u16();
    return lo | static_cast<std::uint32_t>(u16()) << 16;
  }
  std::u16string wstr() {
    std::u16string s;
    for (std::uint16_t c = u16(); c != 0; c = u16()) s.push_back(static_cast<char16_t>(c));
    return s;
  }
  ResId sz_or_ord() {
    ResId id;
    std::uint16_t first = u16();
    if (first == 0xFFFF) {
      id.ordinal = u16();
    } else if (first != 0) {
      pos_ -= 2;
      id.name = narrow(wstr());
    }
    return id;
  }
  std::vector<std::uint8_t> bytes(std::size_t n) {
    need(n);
    std::vector<std::uint8_t> v(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return v;
  }
  [[noreturn]] void fail(const std::string& what) const {
    throw InputError(source_ + ": offset " + std::to_string(pos_) + ": " + what);
  }

 private:
  void need(std::size_t n) const {
    if (size_ - pos_ < n) fail("truncated resource data");
  }
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  std::string source_;
};

}  // namespace

std::string narrow(const std::u16string& wide) {
  std::string s;
  for (char16_t c : wide) s.push_back(c < 0x100 ? static_cast<char>(c) : '?');
  return s;
}

HINSTANCE program_instance() { return reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(0x00400000)); }

void Resources::load_res(const std::uint8_t* data, std::size_t size, const std::string& source) {
  entries_.clear();
  Reader r(data, size, source);
  while (r.pos() + 8 <= r.size()) {
    std::size_t start = r.pos();
    std::uint32_t data_size = r.u32();
    std::uint32_t header_size = r.u32();
    if (header_size < 16) r.fail("resource header too small");
    ResourceEntry e;
    e.type = r.sz_or_ord();
    e.name = r.sz_or_ord();
    r.align(4);
    r.u32();  // data version
    r.u16();  // memory flags
    e.language = r.u16();
    r.seek(start + header_size);
    e.data = r.bytes(data_size);
    r.align(4);
    // The first entry of a .res file is an empty marker.
    if (!(data_size == 0 && e.type.is_ordinal() && e.type.ordinal == 0)) entries_.push_back(std::move(e));
  }
}

const ResourceEntry* Resources::find(std::uint16_t type, std::uint16_t id) const {
  for (const auto& e : entries_) {
    if (e.type.is_ordinal() && e.type.ordinal == type && e.name.is_ordinal() && e.name.ordinal == id) return &e;
  }
  return nullptr;
}

std::optional<std::string> Resources::string(UINT id) const {
  if (missing_strings.count(id) || id > 0xFFFF) return std::nullopt;
  if (auto it = replaced_strings.find(id); it != replaced_strings.end()) return it->second;
  // Strings are stored in blocks of 16 counted UTF-16 strings; block n holds
  // ids (n-1)*16 to (n-1)*16+15.
  const ResourceEntry* block = find(kRtString, static_cast<std::uint16_t>(id / 16 + 1));
  if (!block) return std::nullopt;
  Reader r(block->data.data(), block->data.size(), "string block");
  for (UINT i = 0; i < id % 16; ++i) r.seek(r.pos() + 2 + 2 * std::size_t{r.u16()});
  std::uint16_t length = r.u16();
  std::u16string s;
  for (std::uint16_t i = 0; i < length; ++i) s.push_back(static_cast<char16_t>(r.u16()));
  return narrow(s);
}

// The styles that open a dialog and each of its controls: the extended
// form has a help id first and the extended style before the style.
template <class Part>
void read_styles(Reader& r, bool extended, Part& part) {
  if (extended) {
    r.u32();  // help id
    part.ex_style = r.u32();
    part.style = r.u32();
  } else {
    part.style = r.u32();
    part.ex_style = r.u32();
  }
}

template <class Part>
void read_box(Reader& r, Part& part) {
  part.x = static_cast<short>(r.u16());
  part.y = static_cast<short>(r.u16());
  part.cx = static_cast<short>(r.u16());
  part.cy = static_cast<short>(r.u16());
}

DialogTemplate parse_dialog(const std::vector<std::uint8_t>& data) {
  Reader r(data.data(), data.size(), "dialog template");
  DialogTemplate t;
  bool extended = data.size() >= 4 && data[0] == 1 && data[1] == 0 && data[2] == 0xFF && data[3] == 0xFF;
  std::uint16_t count;
  if (extended) r.u32();  // version and signature
  read_styles(r, extended, t);
  count = r.u16();
  read_box(r, t);
  t.menu = r.sz_or_ord();
  t.window_class = r.sz_or_ord();
  t.caption = narrow(r.wstr());
  if (t.style & DS_SETFONT) {
    t.font_points = r.u16();
    if (extended) {
      r.u16();  // weight
      r.u16();  // italic and charset
    }
    t.font_name = narrow(r.wstr());
  }
  for (std::uint16_t i = 0; i < count; ++i) {
    r.align(4);
    DialogItem item;
    read_styles(r, extended, item);
    read_box(r, item);
    item.id = extended ? static_cast<int>(r.u32()) : static_cast<short>(r.u16());
    item.window_class = r.sz_or_ord();
    item.text = r.sz_or_ord();
    std::uint16_t extra = r.u16();
    r.bytes(extra);
    t.items.push_back(item);
  }
  return t;
}

std::optional<DialogTemplate> Resources::dialog(std::uint16_t id) const {
  const ResourceEntry* e = find(kRtDialog, id);
  if (!e) return std::nullopt;
  return parse_dialog(e->data);
}

std::optional<VersionInfo> Resources::version() const {
  const ResourceEntry* e = find(kRtVersion, 1);
  if (!e) return std::nullopt;
  VersionInfo v;
  Reader r(e->data.data(), e->data.size(), "version resource");
  // VS_VERSIONINFO: length, value length, type, key, padding, VS_FIXEDFILEINFO.
  std::uint16_t total = r.u16();
  std::uint16_t value_length = r.u16();
  r.u16();
  if (narrow(r.wstr()) != "VS_VERSION_INFO") r.fail("not a version resource");
  r.align(4);
  if (value_length >= 52) {
    if (r.u32() != 0xFEEF04BD) r.fail("bad fixed file info signature");
    r.u32();  // structure version
    std::uint32_t fms = r.u32(), fls = r.u32(), pms = r.u32(), pls = r.u32();
    v.file[0] = fms >> 16, v.file[1] = fms & 0xFFFF, v.file[2] = fls >> 16, v.file[3] = fls & 0xFFFF;
    v.product[0] = pms >> 16, v.product[1] = pms & 0xFFFF, v.product[2] = pls >> 16, v.product[3] = pls & 0xFFFF;
    r.u32();  // flags mask
    r.u32();  // flags
    v.file_os = r.u32();
    v.file_type = r.u32();
    v.file_subtype = r.u32();
    r.u32();
    r.u32();  // date
  }
  // Children: StringFileInfo (tables of String) and VarFileInfo (Var).
  std::function<void(std::size_t, const std::string&, int)> walk = [&](std::size_t end, const std::string& path,
                                                                       int depth) {
    while (true) {
      r.align(4);
      if (r.pos() + 6 > end) break;
      std::size_t start = r.pos();
      std::uint16_t length = r.u16();
      std::uint16_t vlen = r.u16();
      std::uint16_t type = r.u16();
      std::string key = narrow(r.wstr());
      r.align(4);
      std::size_t node_end = std::min(end, start + length);
      if (length == 0) break;
      if (depth == 2 && path.rfind("StringFileInfo/", 0) == 0) {
        std::u16string s;
        for (std::uint16_t i = 0; type == 1 && i < vlen && r.pos() + 2 <= node_end; ++i) {
          char16_t c = static_cast<char16_t>(r.u16());
          if (c == 0) break;
          s.push_back(c);
        }
        v.strings[path.substr(15) + "/" + key] = narrow(s);
      } else if (key == "Translation") {
        for (std::uint16_t i = 0; i + 4 <= vlen; i += 4) {
          std::uint16_t lang = r.u16();
          v.translations.emplace_back(lang, r.u16());
        }
      } else {
        walk(node_end, path.empty() ? key : path + "/" + key, depth + 1);
      }
      r.seek(node_end);
    }
  };
  walk(std::min<std::size_t>(total, e->data.size()), "", 0);
  return v;
}

}  // namespace sim::win32

int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size) {
  using namespace sim::win32;
  if (buffer == nullptr || size <= 0) return 0;
  buffer[0] = '\0';
  if (instance != program_instance()) {
    machine().last_error = ERROR_RESOURCE_NAME_NOT_FOUND;
    return 0;
  }
  std::optional<std::string> text = machine().resources().string(id);
  if (!text || text->empty()) {
    machine().last_error = ERROR_RESOURCE_NAME_NOT_FOUND;
    return 0;
  }
  int n = std::min<int>(static_cast<int>(text->size()), size - 1);
  std::memcpy(buffer, text->data(), static_cast<std::size_t>(n));
  buffer[n] = '\0';
  return n;
}
