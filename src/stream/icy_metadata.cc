#include "stream/icy_metadata.h"

#include <algorithm>

namespace ze::stream {

std::optional<size_t> parse_icy_metaint(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (value.empty()) return std::nullopt;
  uint64_t number = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    // An interval past 2^40 bytes never ends within a stream: it is read
    // as that, the blocks never come.
    number = std::min<uint64_t>(number * 10 + static_cast<uint64_t>(c - '0'), uint64_t{1} << 40);
  }
  if (number < 1) return std::nullopt;
  return static_cast<size_t>(number);
}

void IcyDeinterleaver::feed(const uint8_t* data, size_t size, std::vector<uint8_t>& audio,
                            std::vector<std::string>& blocks) {
  while (size > 0) {
    switch (part_) {
      case Part::Audio: {
        size_t take = std::min(size, audio_left_);
        audio.insert(audio.end(), data, data + take);
        data += take;
        size -= take;
        audio_left_ -= take;
        if (audio_left_ == 0) part_ = Part::Length;
        break;
      }
      case Part::Length:
        block_left_ = size_t{*data} * 16;
        ++data;
        --size;
        block_.clear();
        part_ = block_left_ > 0 ? Part::Block : Part::Audio;
        audio_left_ = metaint_;
        break;
      case Part::Block: {
        size_t take = std::min(size, block_left_);
        block_.append(reinterpret_cast<const char*>(data), take);
        data += take;
        size -= take;
        block_left_ -= take;
        if (block_left_ == 0) {
          size_t end = block_.find('\0');
          if (end != std::string::npos) block_.resize(end);
          blocks.push_back(std::move(block_));
          block_.clear();
          part_ = Part::Audio;
        }
        break;
      }
    }
  }
}

std::optional<std::string> icy_stream_title(std::string_view block) {
  constexpr std::string_view kKey = "StreamTitle='";
  size_t at = block.find(kKey);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = block.substr(at + kKey.size());
  // The value ends at "';"; a title may hold quotes ("Don't Stop") but
  // hardly that pair. Without it, at the last quote of the block.
  size_t end = rest.find("';");
  if (end == std::string_view::npos) end = rest.rfind('\'');
  if (end == std::string_view::npos) end = rest.size();
  return std::string(rest.substr(0, end));
}

}  // namespace ze::stream
