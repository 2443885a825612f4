// Frames drawn by redrawing only what changed look exactly like full
// redraws: the input bytes pick the screen size and a sequence of changes
// to the frame inputs (screens, selection, scrolling, tabs, playing states,
// meters, dialogs, the volume notice, long texts); after every frame the
// back buffers and the device copies of both painters must be equal.
#include <cstdint>
#include <cstdio>

#include "fuzz_check.h"
#include "graphics/frame_sequence.h"

namespace {

class ByteChoices : public ze::testing::Choices {
 public:
  ByteChoices(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint32_t below(uint32_t bound) override {
    uint32_t value = 0;
    for (int i = 0; i < 2; ++i) value = (value << 8) | (pos_ < size_ ? data_[pos_++] : 0);
    return value % bound;
  }
  bool done() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

constexpr int kMaxFrames = 48;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteChoices choices(data, size);
  static const ze::ScreenSize kSizes[] = {{1280, 720}, {1024, 768}};
  ze::ScreenSize screen = kSizes[choices.below(2)];
  ze::testing::PainterPair pair(screen.width, screen.height);
  ze::testing::FrameWorld world;
  for (int frame = 0; frame < kMaxFrames; ++frame) {
    std::optional<std::string> difference = pair.frame(world.inputs());
    if (difference) std::fprintf(stderr, "frame %d: %s\n", frame, difference->c_str());
    FUZZ_CHECK(!difference, "incremental frames equal full redraws");
    if (choices.done()) break;
    world.step(choices);
  }
  return 0;
}
