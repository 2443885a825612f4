// Writes ZIP archives byte by byte, so that tests can make the forms other
// writers produce (zip64 values in the directory, in the local headers or in
// both, data descriptors, bytes before the archive, sizes that lie) without
// depending on what one tool happens to write.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ze::testing {

struct ZipMember {
  std::string name;
  std::string data;
  bool deflate = true;
  // Zip64 forms: the fields written as 0xFFFFFFFF, with their values in a
  // zip64 extra field of the same header.
  bool central_sizes64 = false;   // both sizes in the central directory
  bool local_sizes64 = false;     // both sizes in the local header
  bool central_offset64 = false;  // the local header's offset
  // The central zip64 field also holds the offset while the 32-bit offset
  // field keeps its value, as Go's writer does.
  bool offset_in_extra_too = false;
  bool data_descriptor = false;  // sizes and CRC after the data, not in the local header
  std::optional<uint64_t> stated_size = std::nullopt;  // the size the directory claims, when it lies
};

struct ZipLayout {
  std::string prefix;       // bytes before the archive; offsets do not count them
  bool zip64_end = false;   // zip64 end record and locator before the end record
};

namespace zip_detail {

inline void put(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

inline std::string raw_deflate(std::string_view data) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline std::string zip64_extra(const std::vector<uint64_t>& values) {
  std::string extra;
  if (values.empty()) return extra;
  put(extra, 1, 2);
  put(extra, 8 * values.size(), 2);
  for (uint64_t value : values) put(extra, value, 8);
  return extra;
}

}  // namespace zip_detail

inline std::string build_zip(const std::vector<ZipMember>& members, const ZipLayout& layout = {}) {
  using zip_detail::put;
  constexpr uint64_t kMarker = 0xFFFFFFFF;
  std::string out = layout.prefix;
  const size_t base = out.size();
  std::string directory;
  for (const ZipMember& m : members) {
    const std::string stored = m.deflate ? zip_detail::raw_deflate(m.data) : m.data;
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(m.data.data()), static_cast<uInt>(m.data.size())));
    const uint64_t size = m.stated_size.value_or(m.data.size());
    const uint64_t offset = out.size() - base;
    const bool any64 = m.central_sizes64 || m.local_sizes64 || m.central_offset64;
    const uint16_t needed = any64 ? 45 : 20;
    const uint16_t flags = m.data_descriptor ? 8 : 0;
    const uint16_t method = m.deflate ? 8 : 0;

    std::string local_extra =
        m.local_sizes64 ? zip_detail::zip64_extra({m.data_descriptor ? 0 : size,
                                                   m.data_descriptor ? 0 : stored.size()})
                        : "";
    put(out, 0x04034b50, 4);
    put(out, needed, 2);
    put(out, flags, 2);
    put(out, method, 2);
    put(out, 0, 2);     // time
    put(out, 0x21, 2);  // date: 1980-01-01
    put(out, m.data_descriptor ? 0 : crc, 4);
    put(out, m.local_sizes64 ? kMarker : m.data_descriptor ? 0 : stored.size(), 4);
    put(out, m.local_sizes64 ? kMarker : m.data_descriptor ? 0 : size, 4);
    put(out, m.name.size(), 2);
    put(out, local_extra.size(), 2);
    out += m.name + local_extra + stored;
    if (m.data_descriptor) {
      put(out, 0x08074b50, 4);
      put(out, crc, 4);
      const int width = m.local_sizes64 || m.central_sizes64 ? 8 : 4;
      put(out, stored.size(), width);
      put(out, size, width);
    }

    std::vector<uint64_t> values;
    if (m.central_sizes64) values = {size, stored.size()};
    if (m.central_offset64 || m.offset_in_extra_too) values.push_back(offset);
    const std::string extra = zip_detail::zip64_extra(values);
    put(directory, 0x02014b50, 4);
    put(directory, 0x031E, 2);  // made on Unix
    put(directory, needed, 2);
    put(directory, flags, 2);
    put(directory, method, 2);
    put(directory, 0, 2);
    put(directory, 0x21, 2);
    put(directory, crc, 4);
    put(directory, m.central_sizes64 ? kMarker : stored.size(), 4);
    put(directory, m.central_sizes64 ? kMarker : size, 4);
    put(directory, m.name.size(), 2);
    put(directory, extra.size(), 2);
    put(directory, 0, 2);  // comment
    put(directory, 0, 2);  // disk
    put(directory, 0, 2);  // internal attributes
    put(directory, (m.name.ends_with("/") ? 040755ull : 0100644ull) << 16, 4);
    put(directory, m.central_offset64 ? kMarker : offset, 4);
    directory += m.name + extra;
  }
  const uint64_t directory_offset = out.size() - base;
  out += directory;
  if (layout.zip64_end) {
    const uint64_t record = out.size() - base;
    put(out, 0x06064b50, 4);
    put(out, 44, 8);  // size of the rest of the record
    put(out, 0x031E, 2);
    put(out, 45, 2);
    put(out, 0, 4);  // this disk
    put(out, 0, 4);  // disk of the directory
    put(out, members.size(), 8);
    put(out, members.size(), 8);
    put(out, directory.size(), 8);
    put(out, directory_offset, 8);
    put(out, 0x07064b50, 4);
    put(out, 0, 4);
    put(out, record, 8);
    put(out, 1, 4);  // disks
  }
  put(out, 0x06054b50, 4);
  put(out, 0, 2);
  put(out, 0, 2);
  put(out, layout.zip64_end ? 0xFFFF : members.size(), 2);
  put(out, layout.zip64_end ? 0xFFFF : members.size(), 2);
  put(out, layout.zip64_end ? kMarker : directory.size(), 4);
  put(out, layout.zip64_end ? kMarker : directory_offset, 4);
  put(out, 0, 2);
  return out;
}

}  // namespace ze::testing
