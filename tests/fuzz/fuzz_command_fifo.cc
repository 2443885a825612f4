// The command pipe's byte stream. The input's first byte gives the number of
// cuts and the following pairs of bytes their places; the rest is the stream,
// fed to the splitter whole, in the chosen pieces and byte by byte. The lines
// (and the last unfinished one) must not depend on how the bytes arrived and
// must equal those of a plain reference split; the splitter never holds more
// than kMaxCommandLine bytes; each line gives at most one command, whose word
// is a command word with the same action; an ASCII line gives a command
// exactly when its trimmed, upper-cased text is a command word.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "input/command_fifo.h"

namespace {

using ze::CommandLineSplitter;
using ze::kMaxCommandLine;

struct Split {
  std::vector<std::string> lines;
  std::optional<std::string> last;
};

Split split_in_pieces(std::string_view stream, const std::vector<size_t>& cuts) {
  CommandLineSplitter splitter;
  Split out;
  size_t start = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    size_t end = i < cuts.size() ? cuts[i] : stream.size();
    for (std::string& line : splitter.feed(stream.substr(start, end - start))) {
      out.lines.push_back(std::move(line));
    }
    FUZZ_CHECK(splitter.pending_bytes() <= kMaxCommandLine, "the splitter holds one line at most");
    start = end;
  }
  out.last = splitter.finish();
  FUZZ_CHECK(splitter.pending_bytes() == 0, "finishing empties the splitter");
  return out;
}

// Lines cut at line feeds; a line longer than the limit (its carriage
// return included) is dropped, one carriage return before the feed removed.
Split reference_split(std::string_view stream) {
  Split out;
  size_t start = 0;
  for (;;) {
    size_t end = stream.find('\n', start);
    if (end == std::string_view::npos) break;
    std::string_view line = stream.substr(start, end - start);
    if (line.size() <= kMaxCommandLine) {
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      out.lines.emplace_back(line);
    }
    start = end + 1;
  }
  std::string_view rest = stream.substr(start);
  if (!rest.empty() && rest.size() <= kMaxCommandLine) out.last = std::string(rest);
  return out;
}

bool same_split(const Split& a, const Split& b) { return a.lines == b.lines && a.last == b.last; }

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void check_line(std::string_view line) {
  std::optional<ze::Command> command = ze::parse_command_line(line);
  if (command) {
    std::optional<ze::Action> action = ze::command_word_action(command->word);
    FUZZ_CHECK(action.has_value(), "an accepted command's word is a command word");
    FUZZ_CHECK(*action == command->action, "an accepted command carries its word's action");
  }
  if (std::all_of(line.begin(), line.end(), [](char c) { return (c & 0x80) == 0; })) {
    size_t first = 0;
    size_t last = line.size();
    while (first < last && is_ascii_space(line[first])) ++first;
    while (last > first && is_ascii_space(line[last - 1])) --last;
    std::string word(line.substr(first, last - first));
    for (char& c : word) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    std::optional<ze::Action> expected = ze::command_word_action(word);
    FUZZ_CHECK(command.has_value() == expected.has_value(),
               "an ASCII line is a command exactly when its trimmed upper-case text is a word");
    if (command) {
      FUZZ_CHECK(command->word == word, "the logged word is the trimmed upper-case line");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input = ze::fuzz::as_text(data, size);
  if (input.empty()) return 0;
  size_t cut_count = static_cast<unsigned char>(input[0]) % 16;
  input.remove_prefix(1);
  std::vector<uint16_t> raw_cuts;
  for (size_t i = 0; i < cut_count && input.size() >= 2; ++i) {
    raw_cuts.push_back(static_cast<uint16_t>(static_cast<unsigned char>(input[0]) << 8 |
                                             static_cast<unsigned char>(input[1])));
    input.remove_prefix(2);
  }
  std::string_view stream = input;
  std::vector<size_t> cuts;
  for (uint16_t cut : raw_cuts) cuts.push_back(stream.empty() ? 0 : cut % (stream.size() + 1));
  std::sort(cuts.begin(), cuts.end());

  Split whole = split_in_pieces(stream, {});
  Split pieces = split_in_pieces(stream, cuts);
  std::vector<size_t> every_byte;
  for (size_t i = 1; i < stream.size(); ++i) every_byte.push_back(i);
  Split bytes = split_in_pieces(stream, every_byte);
  FUZZ_CHECK(same_split(whole, pieces), "the lines do not depend on the pieces read");
  FUZZ_CHECK(same_split(whole, bytes), "the lines do not depend on the pieces read (bytes)");
  FUZZ_CHECK(same_split(whole, reference_split(stream)), "the lines match the reference split");

  for (const std::string& line : whole.lines) {
    FUZZ_CHECK(line.find('\n') == std::string::npos, "a line holds no line feed");
    FUZZ_CHECK(line.size() <= kMaxCommandLine, "a line is within the limit");
    check_line(line);
  }
  if (whole.last) check_line(*whole.last);
  return 0;
}
