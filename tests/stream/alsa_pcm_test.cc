#include "stream/alsa_pcm.h"

#include <gtest/gtest.h>

#include <climits>

#include "base/files.h"
#include "temp_dir.h"

namespace ze::stream {
namespace {

using alsa::choose_near;
using alsa::interval_first;
using alsa::interval_last;
using alsa::parse_playback_name;

TEST(AlsaNames, OnlyPlaybackDeviceFilesAreParsed) {
  struct Case {
    const char* name;
    std::optional<AlsaDevice> device;
  };
  const Case cases[] = {
      {"pcmC0D0p", AlsaDevice{0, 0}},    {"pcmC1D12p", AlsaDevice{1, 12}},
      {"pcmC10D3p", AlsaDevice{10, 3}},  {"pcmC0D0c", std::nullopt},
      {"controlC0", std::nullopt},       {"pcmC0D0p2", std::nullopt},
      {"pcmC0D0", std::nullopt},         {"pcmCD0p", std::nullopt},
      {"pcmC0Dp", std::nullopt},         {"pcmC-1D0p", std::nullopt},
      {"pcmC 0D0p", std::nullopt},       {"pcmC12345D0p", std::nullopt},
      {"xpcmC0D0p", std::nullopt},       {"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_playback_name(c.name), c.device) << c.name;
    if (c.device) {
      EXPECT_EQ(alsa::pcm_file_name(*c.device), c.name);
      EXPECT_EQ(alsa::pcm_file_name(*c.device, false).back(), 'c');
    }
  }
}

TEST(AlsaNames, PlaybackDevicesAreListedInNumericOrder) {
  testing::TempDir dir;
  for (const char* name : {"pcmC1D0p", "pcmC0D10p", "controlC0", "pcmC0D2p", "pcmC0D0c",
                           "pcmC10D0p", "timer", "pcmC0D2p.old"}) {
    ASSERT_TRUE(write_file(dir / name, "").ok());
  }
  std::vector<AlsaDevice> expected = {{0, 2}, {0, 10}, {1, 0}, {10, 0}};
  EXPECT_EQ(alsa::list_playback_devices(dir.path()), expected);
  EXPECT_TRUE(alsa::list_playback_devices(dir / "missing").empty());
}

TEST(AlsaParams, NearestValueAndSizes) {
  struct Near {
    unsigned wanted;
    std::optional<unsigned> below, above, chosen;
  };
  const Near nears[] = {
      {44100, 32000, 48000, 48000},        // 3900 above beats 12100 below
      {46000, 44100, 48000, 44100},        // 1900 below beats 2000 above
      {46050, 44100, 48000, 48000},        // a tie goes up
      {22050, std::nullopt, 44100, 44100}, {96000, 48000, std::nullopt, 48000},
      {8000, std::nullopt, std::nullopt, std::nullopt},
      {48000, 50000, 40000, std::nullopt},  // candidates on the wrong side are ignored
  };
  for (const auto& n : nears) {
    EXPECT_EQ(choose_near(n.wanted, n.below, n.above), n.chosen) << n.wanted;
  }

  struct Sizes {
    unsigned rate;
    unsigned long period, buffer;
  };
  for (auto [rate, period, buffer] :
       {Sizes{48000, 1200, 24000}, Sizes{44100, 1102, 22040}, Sizes{8000, 200, 4000}, Sizes{1, 1, 20}}) {
    auto sizes = alsa::target_sizes(rate);
    EXPECT_EQ(sizes.period_frames, period) << rate;
    EXPECT_EQ(sizes.buffer_frames, buffer) << rate;
  }
}

TEST(AlsaParams, IntervalEndsHonourOpenBoundsAndEmptiness) {
  struct Case {
    snd_interval interval;
    std::optional<unsigned> first, last;
  };
  auto make = [](unsigned min, unsigned max, unsigned openmin, unsigned openmax, unsigned empty) {
    snd_interval i{};
    i.min = min;
    i.max = max;
    i.openmin = openmin;
    i.openmax = openmax;
    i.empty = empty;
    return i;
  };
  const Case cases[] = {
      {make(8000, 192000, 0, 0, 0), 8000, 192000},
      {make(8000, 192000, 1, 1, 0), 8001, 191999},
      {make(5, 5, 0, 0, 0), 5, 5},
      {make(5, 5, 1, 0, 0), std::nullopt, std::nullopt},
      {make(5, 6, 1, 1, 0), std::nullopt, std::nullopt},
      {make(5, 6, 0, 1, 0), 5, 5},
      {make(0, UINT_MAX, 0, 0, 0), 0, UINT_MAX},
      {make(UINT_MAX, UINT_MAX, 1, 0, 0), std::nullopt, std::nullopt},
      {make(0, 0, 0, 1, 0), std::nullopt, std::nullopt},
      {make(10, 9, 0, 0, 0), std::nullopt, std::nullopt},
      {make(1, 9, 0, 0, 1), std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.interval.min << ".." << c.interval.max << " open "
                                      << c.interval.openmin << c.interval.openmax);
    EXPECT_EQ(interval_first(c.interval), c.first);
    EXPECT_EQ(interval_last(c.interval), c.last);
  }
}

TEST(AlsaParams, AnyParamsLeaveEverythingOpenAndSettersNarrowOneParameter) {
  snd_pcm_hw_params params;
  alsa::hw_params_any(&params);
  for (int p = SNDRV_PCM_HW_PARAM_FIRST_MASK; p <= SNDRV_PCM_HW_PARAM_LAST_MASK; ++p) {
    for (unsigned bit : {0u, 2u, 31u, 32u, 255u}) EXPECT_TRUE(alsa::mask_test(*alsa::hw_mask(&params, p), bit));
  }
  for (int p = SNDRV_PCM_HW_PARAM_FIRST_INTERVAL; p <= SNDRV_PCM_HW_PARAM_LAST_INTERVAL; ++p) {
    EXPECT_EQ(interval_first(*alsa::hw_interval(&params, p)), 0u) << p;
    EXPECT_EQ(interval_last(*alsa::hw_interval(&params, p)), UINT_MAX) << p;
  }
  EXPECT_EQ(params.rmask, ~0u);

  snd_mask* format = alsa::hw_mask(&params, SNDRV_PCM_HW_PARAM_FORMAT);
  for (unsigned bit : {unsigned{SNDRV_PCM_FORMAT_S16_LE}, 33u, 255u}) {
    alsa::mask_set_only(format, bit);
    for (unsigned other = 0; other < SNDRV_MASK_MAX; ++other) {
      EXPECT_EQ(alsa::mask_test(*format, other), other == bit) << bit << " " << other;
    }
  }
  EXPECT_FALSE(alsa::mask_test(*format, SNDRV_MASK_MAX));
  EXPECT_TRUE(alsa::mask_test(*alsa::hw_mask(&params, SNDRV_PCM_HW_PARAM_ACCESS), 3))
      << "other masks untouched";

  alsa::interval_set(alsa::hw_interval(&params, SNDRV_PCM_HW_PARAM_RATE), 44100, 48000);
  const snd_interval* rate = alsa::hw_interval(&params, SNDRV_PCM_HW_PARAM_RATE);
  EXPECT_EQ(interval_first(*rate), 44100u);
  EXPECT_EQ(interval_last(*rate), 48000u);
  EXPECT_EQ(interval_last(*alsa::hw_interval(&params, SNDRV_PCM_HW_PARAM_CHANNELS)), UINT_MAX);
}

TEST(AlsaPcm, DevicesThatCannotBeUsedAreErrorsNamingThem) {
  testing::TempDir dir;
  auto samples = std::vector<int16_t>(20);

  AlsaPcm none({.device = std::nullopt, .device_dir = dir.path()});
  auto opened = none.open(48000);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error(), "no sound card: no playback device in " + dir.path());
  EXPECT_FALSE(none.write(samples.data(), 10).ok());
  none.close(true);

  // A file that is not a sound device: the first ioctl fails.
  ASSERT_TRUE(write_file(dir / "pcmC3D1p", "").ok());
  ASSERT_TRUE(write_file(dir / "pcmC0D7c", "").ok());
  AlsaPcm not_a_card({.device = std::nullopt, .device_dir = dir.path()});
  opened = not_a_card.open(48000);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(not_a_card.path(), dir / "pcmC3D1p") << "the first playback device is chosen";
  EXPECT_EQ(opened.error().find(dir / "pcmC3D1p: device does not take 16-bit interleaved stereo"), 0u)
      << opened.error();

  AlsaPcm missing({.device = AlsaDevice{2, 0}, .device_dir = dir.path()});
  opened = missing.open(48000);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().find(dir / "pcmC2D0p: No such file"), 0u) << opened.error();
}

}  // namespace
}  // namespace ze::stream
