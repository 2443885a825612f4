#include "stream/alsa_pcm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <variant>

#include "base/files.h"
#include "temp_dir.h"

namespace ze::stream {
namespace {

using alsa::choose_near;
using alsa::interval_first;
using alsa::interval_last;
using alsa::parse_playback_name;
using alsa::SampleFormat;

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

// A card as the kernel's refinement sees it, for the parameters the choice
// touches: its masks are intersected, its channels and rates narrowed to the
// values it lists, and its sizes kept to buffer = period x periods by
// narrowing the three intervals against each other, as the kernel's rules do.
struct ModelCard {
  ModelCard(std::vector<unsigned> formats, std::vector<unsigned> channels,
            std::vector<unsigned> rates, unsigned periods_min = 2, unsigned periods_max = 1024,
            unsigned long period_bytes_max = 1 << 20, unsigned long buffer_bytes_max = 1 << 20)
      : formats(std::move(formats)),
        channels(std::move(channels)),
        rates(std::move(rates)),
        periods_min(periods_min),
        periods_max(periods_max),
        period_bytes_max(period_bytes_max),
        buffer_bytes_max(buffer_bytes_max) {}

  std::vector<unsigned> formats;  // SNDRV_PCM_FORMAT_ codes
  std::vector<unsigned> channels;
  std::vector<unsigned> rates;
  unsigned periods_min, periods_max;
  unsigned long period_bytes_max, buffer_bytes_max;

  int operator()(snd_pcm_hw_params& params) const {
    if (!keep_mask(params, SNDRV_PCM_HW_PARAM_ACCESS, {SNDRV_PCM_ACCESS_RW_INTERLEAVED}) ||
        !keep_mask(params, SNDRV_PCM_HW_PARAM_FORMAT, formats) ||
        !keep_mask(params, SNDRV_PCM_HW_PARAM_SUBFORMAT, {SNDRV_PCM_SUBFORMAT_STD}) ||
        !keep_values(params, SNDRV_PCM_HW_PARAM_CHANNELS, channels) ||
        !keep_values(params, SNDRV_PCM_HW_PARAM_RATE, rates) || !keep_sizes(params)) {
      return EINVAL;
    }
    return 0;
  }

  static bool keep_mask(snd_pcm_hw_params& params, int param, const std::vector<unsigned>& bits) {
    snd_mask kept{};
    for (unsigned bit : bits) {
      if (alsa::mask_test(*alsa::hw_mask(&params, param), bit)) {
        kept.bits[bit / 32] |= 1u << (bit % 32);
      }
    }
    *alsa::hw_mask(&params, param) = kept;
    return std::any_of(std::begin(kept.bits), std::end(kept.bits),
                       [](unsigned b) { return b != 0; });
  }

  static bool keep_values(snd_pcm_hw_params& params, int param,
                          const std::vector<unsigned>& values) {
    snd_interval* interval = alsa::hw_interval(&params, param);
    auto first = interval_first(*interval), last = interval_last(*interval);
    std::vector<unsigned> inside;
    for (unsigned v : values) {
      if (first && last && v >= *first && v <= *last) inside.push_back(v);
    }
    if (inside.empty()) return false;
    alsa::interval_set(interval, *std::min_element(inside.begin(), inside.end()),
                       *std::max_element(inside.begin(), inside.end()));
    return true;
  }

  bool keep_sizes(snd_pcm_hw_params& params) const {
    // The smallest frame the choices so far allow bounds the sizes in frames
    // (the formats left are the card's: 16-bit or 32-bit containers).
    unsigned sample =
        alsa::mask_test(*alsa::hw_mask(&params, SNDRV_PCM_HW_PARAM_FORMAT), SNDRV_PCM_FORMAT_S16_LE)
            ? 2
            : 4;
    unsigned long frame =
        sample * *interval_first(*alsa::hw_interval(&params, SNDRV_PCM_HW_PARAM_CHANNELS));
    struct Range {
      unsigned long low, high;
    };
    auto read = [&](int param, unsigned long low, unsigned long high) {
      const snd_interval* i = alsa::hw_interval(&params, param);
      auto first = interval_first(*i), last = interval_last(*i);
      return Range{std::max<unsigned long>(low, first.value_or(1)),
                   std::min<unsigned long>(high, last.value_or(0))};
    };
    Range period = read(SNDRV_PCM_HW_PARAM_PERIOD_SIZE, 16, period_bytes_max / frame);
    Range buffer = read(SNDRV_PCM_HW_PARAM_BUFFER_SIZE, 16, buffer_bytes_max / frame);
    Range periods = read(SNDRV_PCM_HW_PARAM_PERIODS, periods_min, periods_max);
    for (int round = 0; round < 8; ++round) {
      if (period.low > period.high || buffer.low > buffer.high || periods.low > periods.high) {
        return false;
      }
      buffer = {std::max(buffer.low, period.low * periods.low),
                std::min(buffer.high, period.high * periods.high)};
      if (buffer.low > buffer.high) return false;
      period = {std::max(period.low, (buffer.low + periods.high - 1) / periods.high),
                std::min(period.high, buffer.high / periods.low)};
      if (period.low > period.high) return false;
      periods = {std::max(periods.low, (buffer.low + period.high - 1) / period.high),
                 std::min(periods.high, buffer.high / period.low)};
    }
    if (periods.low > periods.high) return false;
    alsa::interval_set(alsa::hw_interval(&params, SNDRV_PCM_HW_PARAM_PERIOD_SIZE), period.low,
                       period.high);
    alsa::interval_set(alsa::hw_interval(&params, SNDRV_PCM_HW_PARAM_BUFFER_SIZE), buffer.low,
                       buffer.high);
    alsa::interval_set(alsa::hw_interval(&params, SNDRV_PCM_HW_PARAM_PERIODS), periods.low,
                       periods.high);
    return true;
  }
};

TEST(AlsaParams, EachCardGetsTheLayoutRateAndSizesItTakes) {
  constexpr unsigned S16 = SNDRV_PCM_FORMAT_S16_LE, S24 = SNDRV_PCM_FORMAT_S24_LE,
                     S24_3 = SNDRV_PCM_FORMAT_S24_3LE, S32 = SNDRV_PCM_FORMAT_S32_LE,
                     FLOAT = SNDRV_PCM_FORMAT_FLOAT_LE;
  const std::vector<unsigned> common_rates = {8000, 11025, 16000, 22050, 32000, 44100, 48000};
  auto playback = [](unsigned rate) {
    alsa::PcmRequest request;
    request.rate = rate;
    return request;
  };
  using Setup = alsa::PcmSetup;
  struct Case {
    const char* card;
    ModelCard model;
    alsa::PcmRequest request;
    std::variant<Setup, std::string> chosen;  // the setup, or the error
  };
  const Case cases[] = {
      {"a codec with every format, mono and stereo",
       ModelCard({S16, S24, S32}, {1, 2}, {44100, 48000, 96000}), playback(44100),
       Setup{{SampleFormat::S16, 2}, 44100, 1102, 22040}},
      {"48 kHz only", ModelCard({S16}, {2}, {48000}), playback(44100),
       Setup{{SampleFormat::S16, 2}, 48000, 1200, 24000}},
      {"the nearest rate, not the first", ModelCard({S16}, {2}, common_rates), playback(24000),
       Setup{{SampleFormat::S16, 2}, 22050, 551, 11020}},
      {"32-bit only, 26 channels, two periods of at most 64 KiB",
       ModelCard({S32}, {26}, common_rates, 2, 2, 64 * 1024, 26 * 64 * 1024), playback(44100),
       Setup{{SampleFormat::S32, 26}, 44100, 630, 1260}},
      {"32-bit only, ten channels, a 256 KiB buffer",
       ModelCard({S32}, {10}, common_rates, 1, 1024, 1 << 20, 256 * 1024), playback(48000),
       Setup{{SampleFormat::S32, 10}, 48000, 1200, 6000}},
      {"two large periods: the buffer goes first",
       ModelCard({S16, S32}, {2}, {48000}, 2, 2, 1 << 20, 4 << 20), playback(48000),
       Setup{{SampleFormat::S16, 2}, 48000, 12000, 24000}},
      {"24 bits in 32 before 32 bits, eight channels", ModelCard({S24, S32, S24_3}, {8}, {48000}),
       playback(48000), Setup{{SampleFormat::S24In32, 8}, 48000, 1200, 24000}},
      {"a mono speaker", ModelCard({S16}, {1}, {48000}), playback(48000),
       Setup{{SampleFormat::S16, 1}, 48000, 1200, 24000}},
      {"mono before more channels", ModelCard({S16}, {1, 4}, {48000}), playback(48000),
       Setup{{SampleFormat::S16, 1}, 48000, 1200, 24000}},
      {"the fewest channels above two", ModelCard({S16}, {6, 4, 8}, {48000}), playback(48000),
       Setup{{SampleFormat::S16, 4}, 48000, 1200, 24000}},
      {"stereo out of many", ModelCard({S32, S16}, {1, 2, 3, 4, 5, 6, 7, 8}, {48000}),
       playback(48000), Setup{{SampleFormat::S16, 2}, 48000, 1200, 24000}},
      {"packed 24-bit and float only", ModelCard({S24_3, FLOAT}, {2}, {48000}), playback(48000),
       "device takes no interleaved 16-bit, 24-bit in 32-bit or 32-bit samples: Invalid argument "
       "(os error 22)"},
      {"a capture that asks for 16-bit of a 32-bit card", ModelCard({S32}, {2}, {48000}),
       alsa::PcmRequest{48000, SampleFormat::S16, 2},
       "device takes no interleaved 16-bit samples: Invalid argument (os error 22)"},
      {"a capture that asks for six channels", ModelCard({S16}, {2, 8}, {48000}),
       alsa::PcmRequest{48000, SampleFormat::S16, 6}, "device does not take 6 channels"},
      {"a capture that asks for 32-bit mono", ModelCard({S16, S32}, {1, 2}, {44100, 48000}),
       alsa::PcmRequest{48000, SampleFormat::S32, 1},
       Setup{{SampleFormat::S32, 1}, 48000, 1200, 24000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.card);
    snd_pcm_hw_params params;
    alsa::hw_params_any(&params);
    Status chosen = alsa::choose_hw_params(c.model, c.request, &params);
    if (const auto* error = std::get_if<std::string>(&c.chosen)) {
      ASSERT_FALSE(chosen.ok());
      EXPECT_EQ(chosen.error(), *error);
      continue;
    }
    const Setup& expected = std::get<Setup>(c.chosen);
    ASSERT_TRUE(chosen.ok()) << chosen.error();
    auto setup = alsa::read_setup(params);
    ASSERT_TRUE(setup.has_value());
    EXPECT_EQ(setup->layout, expected.layout)
        << alsa::format_name(setup->layout.format) << " x " << setup->layout.channels;
    EXPECT_EQ(setup->rate, expected.rate);
    EXPECT_EQ(setup->period_frames, expected.period_frames);
    EXPECT_EQ(setup->buffer_frames, expected.buffer_frames);
    // Every parameter the kernel is given is one value.
    for (int p : {SNDRV_PCM_HW_PARAM_CHANNELS, SNDRV_PCM_HW_PARAM_RATE,
                  SNDRV_PCM_HW_PARAM_PERIOD_SIZE, SNDRV_PCM_HW_PARAM_BUFFER_SIZE}) {
      EXPECT_EQ(interval_first(*alsa::hw_interval(&params, p)),
                interval_last(*alsa::hw_interval(&params, p)))
          << p;
    }
    EXPECT_EQ(c.model(params), 0) << "the card takes the choice";
  }
}

TEST(AlsaFrames, StereoIsWrittenInEveryLayoutAtFullScale) {
  // Two frames of the engine's 16-bit stereo each.
  struct Case {
    std::vector<int16_t> stereo;
    alsa::FrameLayout layout;
    std::vector<int32_t> samples;  // as the card reads them
  };
  const Case cases[] = {
      {{1000, -2000, 32767, -32768}, {SampleFormat::S16, 2}, {1000, -2000, 32767, -32768}},
      {{1000, -2000, 32767, -32768},
       {SampleFormat::S24In32, 2},
       {256000, -512000, 8388352, -8388608}},
      {{1000, -2000, 32767, -32768},
       {SampleFormat::S32, 2},
       {65536000, -131072000, 2147418112, INT32_MIN}},
      // Mono is the mean: exact when wider, rounded down in 16 bits.
      {{100, 201, -100, -201}, {SampleFormat::S16, 1}, {150, -151}},
      {{100, 201, -100, -201}, {SampleFormat::S24In32, 1}, {38528, -38528}},
      {{100, 201, -100, -201}, {SampleFormat::S32, 1}, {9863168, -9863168}},
      {{32767, 32767, -32768, -32768}, {SampleFormat::S32, 1}, {2147418112, INT32_MIN}},
      {{32767, -32768, -32768, 32767}, {SampleFormat::S16, 1}, {-1, -1}},
      // Left and right on the first two channels, silence on the rest.
      {{7, -7, 1, 2}, {SampleFormat::S16, 4}, {7, -7, 0, 0, 1, 2, 0, 0}},
      {{7, -7, 1, 2}, {SampleFormat::S32, 3}, {7 << 16, -7 * 65536, 0, 1 << 16, 2 << 16, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << alsa::format_name(c.layout.format) << " x " << c.layout.channels);
    const size_t frames = c.stereo.size() / 2;
    const size_t bytes = alsa::sample_bytes(c.layout.format);
    ASSERT_EQ(c.samples.size(), frames * c.layout.channels);
    // Filled with a pattern first: every byte must be written.
    std::vector<uint8_t> out(frames * c.layout.frame_bytes() + 1, 0xa5);
    alsa::convert_frames(c.stereo.data(), frames, c.layout, out.data());
    EXPECT_EQ(out.back(), 0xa5) << "nothing written past the frames";
    std::vector<int32_t> read;
    for (size_t at = 0; at + bytes <= frames * c.layout.frame_bytes(); at += bytes) {
      // Little-endian, as the card takes them.
      uint32_t value = 0;
      for (size_t b = 0; b < bytes; ++b) value |= uint32_t{out[at + b]} << (8 * b);
      read.push_back(bytes == 2 ? static_cast<int16_t>(value) : static_cast<int32_t>(value));
    }
    EXPECT_EQ(read, c.samples);
  }
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
  EXPECT_EQ(opened.error().find(dir / "pcmC3D1p: device takes no interleaved 16-bit"), 0u)
      << opened.error();

  AlsaPcm missing({.device = AlsaDevice{2, 0}, .device_dir = dir.path()});
  opened = missing.open(48000);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().find(dir / "pcmC2D0p: No such file"), 0u) << opened.error();
}

}  // namespace
}  // namespace ze::stream
