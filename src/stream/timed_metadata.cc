#include "stream/timed_metadata.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>

#include "base/text.h"
#include "stream/id3_tags.h"

namespace ze::stream {
namespace {

constexpr size_t kTsPacket = 188;
constexpr uint8_t kTsSync = 0x47;
constexpr uint8_t kMetadataStreamType = 0x15;
constexpr size_t kSniffBytes = 8;

bool is_mp4_box_type(const uint8_t* type) {
  static constexpr const char* kTypes[] = {"ftyp", "styp", "moof", "emsg", "sidx",
                                           "prft", "moov", "mdat", "free"};
  for (const char* known : kTypes) {
    if (std::memcmp(type, known, 4) == 0) return true;
  }
  return false;
}

uint64_t read_be(const uint8_t* p, size_t n) {
  uint64_t value = 0;
  for (size_t i = 0; i < n; ++i) value = (value << 8) | p[i];
  return value;
}

// The ID3 tags that follow one another at the start of `bytes`.
void take_tags(std::span<const uint8_t> bytes, uint64_t offset, std::vector<FoundTag>& found) {
  while (std::optional<size_t> size = id3_tag_size(bytes)) {
    if (*size > bytes.size()) break;
    found.push_back({offset, std::vector<uint8_t>(bytes.begin(), bytes.begin() + *size)});
    bytes = bytes.subspan(*size);
  }
}

// A C string inside a box's bytes, advancing `at` past its NUL; false when
// it does not end within them.
bool read_c_string(std::span<const uint8_t> bytes, size_t& at, std::string_view& out) {
  const uint8_t* begin = bytes.data() + at;
  const void* nul = std::memchr(begin, 0, bytes.size() - at);
  if (nul == nullptr) return false;
  size_t length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - begin);
  out = std::string_view(reinterpret_cast<const char*>(begin), length);
  at += length + 1;
  return true;
}

bool names_id3(std::string_view scheme) {
  return ascii_lower(scheme).find("id3") != std::string::npos;
}

}  // namespace

void TimedMetadataScanner::feed(const uint8_t* data, size_t size, std::vector<FoundTag>& found) {
  if (kind_ == Kind::Unknown) {
    size_t take = std::min(size, kSniffBytes - pending_.size());
    pending_.insert(pending_.end(), data, data + take);
    data += take;
    size -= take;
    if (pending_.size() < kSniffBytes) return;
    sniff(found);
  }
  switch (kind_) {
    case Kind::TransportStream:
      while (size > 0) {
        if (pending_.empty() && *data != kTsSync) {
          // Lost sync: look for the next packet start.
          ++data, --size, ++offset_;
          continue;
        }
        size_t take = std::min(size, kTsPacket - pending_.size());
        pending_.insert(pending_.end(), data, data + take);
        data += take;
        size -= take;
        if (pending_.size() == kTsPacket) {
          scan_ts_packet(pending_.data(), offset_, found);
          offset_ += kTsPacket;
          pending_.clear();
        }
      }
      break;
    case Kind::Mp4:
      scan_mp4(data, size, found);
      break;
    case Kind::Unknown:
    case Kind::Other:
      break;
  }
}

void TimedMetadataScanner::sniff(std::vector<FoundTag>& found) {
  std::vector<uint8_t> head;
  head.swap(pending_);
  if (head[0] == kTsSync) {
    kind_ = Kind::TransportStream;
  } else if (head.size() >= 8 && is_mp4_box_type(head.data() + 4)) {
    kind_ = Kind::Mp4;
  } else {
    kind_ = Kind::Other;
    return;
  }
  feed(head.data(), head.size(), found);
}

void TimedMetadataScanner::end_segment(std::vector<FoundTag>& found) {
  if (kind_ == Kind::Unknown && !pending_.empty()) sniff(found);
  if (pes_open_) end_pes(found);
  kind_ = Kind::Unknown;
  offset_ = 0;
  pending_.clear();
  box_left_ = 0;
  keeping_ = false;
  box_.clear();
}

void TimedMetadataScanner::scan_ts_packet(const uint8_t* packet, uint64_t offset,
                                          std::vector<FoundTag>& found) {
  const bool unit_start = packet[1] & 0x40;
  const uint16_t pid = static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
  const uint8_t control = (packet[3] >> 4) & 3;
  if (!(control & 1)) return;  // no payload
  size_t start = 4;
  if (control & 2) start += 1 + size_t{packet[4]};
  if (start >= kTsPacket) return;
  const uint8_t* payload = packet + start;
  const size_t size = kTsPacket - start;

  if (pid == 0 || pmt_pids_.count(pid)) {
    read_psi(payload, size, unit_start, pid == 0);
    return;
  }
  if (!metadata_pids_.count(pid)) return;
  if (unit_start) {
    if (pes_open_) end_pes(found);
    pes_open_ = true;
    pes_pid_ = pid;
    pes_offset_ = offset;
    pes_.assign(payload, payload + size);
  } else if (pes_open_ && pid == pes_pid_) {
    if (pes_.size() + size > kMaxKeptId3Bytes) {
      pes_open_ = false;
      pes_.clear();
      return;
    }
    pes_.insert(pes_.end(), payload, payload + size);
  } else {
    return;
  }
  // A PES packet that says its length is whole once that much has come.
  if (pes_.size() >= 6) {
    size_t length = static_cast<size_t>(read_be(pes_.data() + 4, 2));
    if (length != 0 && pes_.size() >= 6 + length) {
      pes_.resize(6 + length);
      end_pes(found);
    }
  }
}

void TimedMetadataScanner::read_psi(const uint8_t* payload, size_t size, bool unit_start,
                                    bool is_pat) {
  // Only sections that begin and end within one packet: the tables of an
  // audio segment are a few bytes long.
  if (!unit_start || size < 1) return;
  size_t at = 1 + size_t{payload[0]};
  if (at + 3 > size) return;
  const uint8_t* section = payload + at;
  size_t length = static_cast<size_t>(((section[1] & 0x0F) << 8) | section[2]);
  if (at + 3 + length > size || length < 9) return;
  const size_t end = 3 + length - 4;  // before the CRC
  if (is_pat) {
    if (section[0] != 0x00) return;
    for (size_t i = 8; i + 4 <= end; i += 4) {
      uint16_t program = static_cast<uint16_t>(read_be(section + i, 2));
      uint16_t pid = static_cast<uint16_t>(read_be(section + i + 2, 2) & 0x1FFF);
      if (program != 0 && pmt_pids_.size() < 16) pmt_pids_.insert(pid);
    }
    return;
  }
  if (section[0] != 0x02 || end < 12) return;
  size_t info = static_cast<size_t>(read_be(section + 10, 2) & 0x0FFF);
  for (size_t i = 12 + info; i + 5 <= end;) {
    uint8_t type = section[i];
    uint16_t pid = static_cast<uint16_t>(read_be(section + i + 1, 2) & 0x1FFF);
    size_t es_info = static_cast<size_t>(read_be(section + i + 3, 2) & 0x0FFF);
    if (type == kMetadataStreamType && metadata_pids_.size() < 16) metadata_pids_.insert(pid);
    i += 5 + es_info;
  }
}

void TimedMetadataScanner::end_pes(std::vector<FoundTag>& found) {
  pes_open_ = false;
  std::vector<uint8_t> pes;
  pes.swap(pes_);
  if (pes.size() < 9 || pes[0] != 0 || pes[1] != 0 || pes[2] != 1) return;
  const uint8_t id = pes[3];
  size_t start = 6;
  const bool plain = id == 0xBC || id == 0xBE || id == 0xBF || id == 0xF0 || id == 0xF1 ||
                     id == 0xF2 || id == 0xF8 || id == 0xFF;
  if (!plain) start = 9 + size_t{pes[8]};
  if (start >= pes.size()) return;
  take_tags(std::span<const uint8_t>(pes).subspan(start), pes_offset_, found);
}

void TimedMetadataScanner::scan_mp4(const uint8_t* data, size_t size, std::vector<FoundTag>& found) {
  while (size > 0 && kind_ == Kind::Mp4) {
    if (box_left_ > 0) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(box_left_, size));
      if (keeping_) box_.insert(box_.end(), data, data + take);
      data += take;
      size -= take;
      box_left_ -= take;
      offset_ += take;
      if (box_left_ == 0 && keeping_) {
        keeping_ = false;
        read_emsg(found);
      }
      continue;
    }
    // A box header: size and type, and a 64-bit size when the size is 1.
    size_t wanted = pending_.size() >= 4 && read_be(pending_.data(), 4) == 1 ? 16 : 8;
    size_t take = std::min(size, wanted - pending_.size());
    pending_.insert(pending_.end(), data, data + take);
    data += take;
    size -= take;
    if (pending_.size() < wanted) continue;
    if (wanted == 8 && read_be(pending_.data(), 4) == 1) continue;  // read the large size
    uint64_t box_size = wanted == 16 ? read_be(pending_.data() + 8, 8) : read_be(pending_.data(), 4);
    box_offset_ = offset_;
    offset_ += wanted;
    if (box_size == 0) {  // to the end of the segment
      box_left_ = UINT64_MAX;
    } else if (box_size < wanted) {
      kind_ = Kind::Other;  // damaged: nothing more is found here
    } else {
      box_left_ = box_size - wanted;
      keeping_ = std::memcmp(pending_.data() + 4, "emsg", 4) == 0 && box_left_ <= kMaxKeptId3Bytes;
      box_.clear();
      if (keeping_ && box_left_ == 0) {
        keeping_ = false;
      }
    }
    pending_.clear();
  }
}

void TimedMetadataScanner::read_emsg(std::vector<FoundTag>& found) {
  // A full box: version and flags, then (version 0) scheme, value,
  // timescale, presentation time delta, duration, id; (version 1)
  // timescale, presentation time, duration, id, scheme, value. The rest is
  // the message.
  std::span<const uint8_t> box(box_);
  if (box.size() < 4) return;
  const uint8_t version = box[0];
  size_t at = 4;
  std::string_view scheme, value;
  if (version == 0) {
    if (!read_c_string(box, at, scheme) || !read_c_string(box, at, value)) return;
    at += 16;
  } else if (version == 1) {
    at += 20;
    if (at > box.size() || !read_c_string(box, at, scheme) || !read_c_string(box, at, value)) return;
  } else {
    return;
  }
  if (at > box.size() || !names_id3(scheme)) return;
  take_tags(box.subspan(at), box_offset_, found);
}

}  // namespace ze::stream
