// ID3 tags carried inside HLS segments beside the audio, found without
// touching the bytes: in MPEG-TS, the PES packets of a metadata stream
// (stream type 0x15, as HLS timed metadata is muxed); in fragmented MP4,
// top-level `emsg` boxes whose scheme names ID3. The scanner takes a
// segment's bytes in pieces as they arrive, keeps only what it needs, and
// reports each whole tag with the offset in the segment where it began.
// Used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace ze::stream {

struct FoundTag {
  uint64_t offset = 0;  // in the segment's bytes
  std::vector<uint8_t> tag;
};

class TimedMetadataScanner {
 public:
  // Looks at more bytes of the segment; whole tags go to `found`.
  void feed(const uint8_t* data, size_t size, std::vector<FoundTag>& found);
  // The segment has ended: a tag still open is reported if whole. The
  // stream's tables carry over to the next segment, as in MPEG-TS.
  void end_segment(std::vector<FoundTag>& found);

 private:
  enum class Kind { Unknown, TransportStream, Mp4, Other };

  void sniff(std::vector<FoundTag>& found);
  void scan_ts_packet(const uint8_t* packet, uint64_t offset, std::vector<FoundTag>& found);
  void read_psi(const uint8_t* payload, size_t size, bool unit_start, bool is_pat);
  void end_pes(std::vector<FoundTag>& found);
  void scan_mp4(const uint8_t* data, size_t size, std::vector<FoundTag>& found);
  void read_emsg(std::vector<FoundTag>& found);

  Kind kind_ = Kind::Unknown;
  uint64_t offset_ = 0;           // bytes of the segment seen
  std::vector<uint8_t> pending_;  // bytes held until whole (sniffing, a TS packet, a box header)

  // MPEG-TS.
  std::set<uint16_t> pmt_pids_;
  std::set<uint16_t> metadata_pids_;
  uint16_t pes_pid_ = 0;
  uint64_t pes_offset_ = 0;
  std::vector<uint8_t> pes_;
  bool pes_open_ = false;

  // MP4.
  uint64_t box_left_ = 0;  // bytes of the current box still to skip or keep
  bool keeping_ = false;   // the current box is an emsg being kept
  uint64_t box_offset_ = 0;
  std::vector<uint8_t> box_;
};

}  // namespace ze::stream
