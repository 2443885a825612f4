#include "stream/segment_filters.h"

extern "C" {
#include <libavutil/aes.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>

#include "stream/id3_tags.h"

namespace ze::stream {
namespace {

// Of a tag being skipped, this much is held: when the segment ends before
// the tag's declared size, the audio after its frames is found there.
// Packed-audio segments are a few hundred kilobytes.
constexpr size_t kMaxHeldTagBytes = 1 << 20;

}  // namespace

SegmentDecryptor::SegmentDecryptor(const std::array<uint8_t, 16>& key,
                                   const std::array<uint8_t, 16>& iv)
    : iv_(iv) {
  aes_ = av_aes_alloc();
  if (aes_) av_aes_init(aes_, key.data(), 128, 1);
}

SegmentDecryptor::~SegmentDecryptor() { av_free(aes_); }

void SegmentDecryptor::feed(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  pending_.insert(pending_.end(), data, data + size);
  // Everything but the last whole block, which may carry the padding.
  size_t blocks = pending_.size() / 16;
  if (blocks > 0 && pending_.size() % 16 == 0) --blocks;
  decrypt_blocks(blocks, out);
}

bool SegmentDecryptor::end(std::vector<uint8_t>& out) {
  if (pending_.size() != 16) return false;
  decrypt_blocks(1, out);
  uint8_t pad = out.back();
  if (pad == 0 || pad > 16) return false;
  for (size_t i = out.size() - pad; i < out.size(); ++i) {
    if (out[i] != pad) return false;
  }
  out.resize(out.size() - pad);
  return true;
}

void SegmentDecryptor::decrypt_blocks(size_t blocks, std::vector<uint8_t>& out) {
  if (blocks == 0) return;
  size_t at = out.size();
  out.resize(at + blocks * 16);
  av_aes_crypt(aes_, out.data() + at, pending_.data(), static_cast<int>(blocks), iv_.data(), 1);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(blocks * 16));
}

void Id3Stripper::feed(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  while (size > 0) {
    if (skip_ > 0) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(skip_, size));
      size_t room = kMaxHeldTagBytes - std::min(tag_.size(), kMaxHeldTagBytes);
      tag_.insert(tag_.end(), data, data + std::min(n, room));
      skip_ -= n;
      if (skip_ == 0) {
        if (keeping_) tags_.push_back(std::move(tag_));
        keeping_ = false;
        tag_.clear();
      }
      data += n;
      size -= n;
      continue;
    }
    if (done_) {
      out.insert(out.end(), data, data + size);
      return;
    }
    head_.push_back(*data++);
    --size;
    if (head_.size() < 10) {
      if (std::memcmp(head_.data(), "ID3", std::min<size_t>(head_.size(), 3)) != 0) pass_head(out);
      continue;
    }
    // A whole header: "ID3", version, flags and a synchsafe size.
    std::optional<size_t> tag_size = id3_tag_size(head_);
    if (!tag_size) {
      pass_head(out);
      continue;
    }
    skip_ = *tag_size - kId3HeaderSize;
    keeping_ = skip_ > 0 && skip_ <= kMaxKeptId3Bytes;
    if (skip_ > 0) tag_ = head_;
    else tags_.push_back(head_);
    head_.clear();  // another tag may follow
  }
}

void Id3Stripper::end(std::vector<uint8_t>& out) {
  if (skip_ > 0) {
    // The segment ended inside a tag: its size was wrong. The tag ends with
    // its frames and their padding, and the audio after them plays.
    size_t audio_at = std::min(id3_frames_end(tag_), tag_.size());
    out.insert(out.end(), tag_.begin() + static_cast<std::ptrdiff_t>(audio_at), tag_.end());
    tag_.resize(audio_at);
    if (keeping_) tags_.push_back(std::move(tag_));
    keeping_ = false;
    tag_.clear();
    skip_ = 0;
  }
  if (!done_) pass_head(out);
}

void Id3Stripper::pass_head(std::vector<uint8_t>& out) {
  out.insert(out.end(), head_.begin(), head_.end());
  head_.clear();
  done_ = true;
}

}  // namespace ze::stream
