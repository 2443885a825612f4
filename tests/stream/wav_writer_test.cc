#include "stream/wav_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "temp_dir.h"

namespace ze::stream {
namespace {

uint32_t u32_at(const std::string& data, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(data[at + i]);
  return value;
}

uint16_t u16_at(const std::string& data, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(data[at]) | static_cast<uint8_t>(data[at + 1]) << 8);
}

// A ramp of stereo frames, left and right different, so misplaced bytes show.
std::vector<int16_t> ramp(size_t frames, int start = 0) {
  std::vector<int16_t> samples;
  for (size_t i = 0; i < frames; ++i) {
    samples.push_back(static_cast<int16_t>(start + i));
    samples.push_back(static_cast<int16_t>(-(start + static_cast<int>(i)) * 3));
  }
  return samples;
}

TEST(WavWriter, FileHoldsTheHeaderAndEveryFrameWithSizesFilledInAtClose) {
  testing::TempDir dir;
  std::string path = dir / "out.wav";
  WavWriter writer(path);
  auto rate = writer.open(44100);
  ASSERT_TRUE(rate.ok()) << rate.error();
  EXPECT_EQ(*rate, 44100);
  EXPECT_FALSE(writer.open(44100).ok()) << "a second open is refused";

  std::vector<int16_t> all;
  for (int chunk = 0; chunk < 5; ++chunk) {
    auto samples = ramp(333, chunk * 333);
    ASSERT_TRUE(writer.write(samples.data(), 333).ok());
    all.insert(all.end(), samples.begin(), samples.end());
  }
  writer.close(true);
  writer.close(true);  // a second close changes nothing

  auto data = read_file(path);
  ASSERT_TRUE(data.ok()) << data.error();
  const uint32_t data_bytes = 5 * 333 * 4;
  ASSERT_EQ(data->size(), kWavHeaderSize + data_bytes);
  struct Field {
    size_t at;
    const char* text;
  };
  for (auto [at, text] : {Field{0, "RIFF"}, Field{8, "WAVE"}, Field{12, "fmt "}, Field{36, "data"}}) {
    EXPECT_EQ(data->substr(at, 4), text) << "at " << at;
  }
  struct Number {
    size_t at;
    int bytes;
    uint32_t value;
  };
  for (auto [at, bytes, value] : {Number{4, 4, data_bytes + 36}, Number{16, 4, 16}, Number{20, 2, 1},
                                  Number{22, 2, 2}, Number{24, 4, 44100}, Number{28, 4, 44100 * 4},
                                  Number{32, 2, 4}, Number{34, 2, 16}, Number{40, 4, data_bytes}}) {
    EXPECT_EQ(bytes == 4 ? u32_at(*data, at) : u16_at(*data, at), value) << "at " << at;
  }
  EXPECT_EQ(std::memcmp(data->data() + kWavHeaderSize, all.data(), data_bytes), 0);
  EXPECT_EQ(data->substr(0, kWavHeaderSize),
            std::string(reinterpret_cast<const char*>(wav_header(44100, data_bytes).data()),
                        kWavHeaderSize));
}

TEST(WavWriter, HeaderIsKeptCurrentWhileWritingSoAKilledWriterLeavesAPlayableFile) {
  testing::TempDir dir;
  std::string path = dir / "live.wav";
  WavWriter writer(path);
  ASSERT_TRUE(writer.open(8000).ok());
  auto samples = ramp(100);
  for (int i = 0; i < 130; ++i) ASSERT_TRUE(writer.write(samples.data(), 100).ok());  // 1.625 s

  // Read without closing, as after a kill: the header lags by less than
  // half a second and agrees with itself.
  auto data = read_file(path);
  ASSERT_TRUE(data.ok());
  uint32_t stated = u32_at(*data, 40);
  EXPECT_EQ(u32_at(*data, 4), stated + 36);
  EXPECT_LE(stated, 130u * 100 * 4);
  EXPECT_GT(stated, 130u * 100 * 4 - 8000 * 4 / 2);
  EXPECT_EQ(stated % 4, 0u);
}

TEST(WavWriter, FailuresAreErrorsNamingTheFile) {
  testing::TempDir dir;
  auto samples = ramp(10);

  WavWriter missing_folder(dir / "no/such/folder.wav");
  auto opened = missing_folder.open(48000);
  ASSERT_FALSE(opened.ok());
  EXPECT_NE(opened.error().find(dir / "no/such/folder.wav"), std::string::npos) << opened.error();
  EXPECT_FALSE(missing_folder.write(samples.data(), 10).ok()) << "writing before open";

  WavWriter full_device("/dev/full");
  opened = full_device.open(48000);
  ASSERT_FALSE(opened.ok());
  EXPECT_NE(opened.error().find("/dev/full"), std::string::npos) << opened.error();
}

TEST(WavWriter, AWriteCutShortByAFileLimitIsAnErrorAndTheHeaderCountsWhatArrived) {
  testing::TempDir dir;
  std::string path = dir / "limited.wav";
  WavWriter writer(path);
  ASSERT_TRUE(writer.open(48000).ok());
  auto samples = ramp(1000);

  // The file-size limit stands in for a full disk: the write stops part way.
  struct sigaction ignore {}, old_action {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &old_action), 0);
  rlimit old_limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit limit = old_limit;
  limit.rlim_cur = kWavHeaderSize + 1002;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  Status written = writer.write(samples.data(), 1000);
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::sigaction(SIGXFSZ, &old_action, nullptr);

  ASSERT_FALSE(written.ok());
  EXPECT_NE(written.error().find(path), std::string::npos) << written.error();
  EXPECT_EQ(writer.data_bytes(), 1000u) << "whole frames that reached the file";
  writer.close(true);
  auto data = read_file(path);
  ASSERT_TRUE(data.ok());
  EXPECT_EQ(u32_at(*data, 40), 1000u);
  EXPECT_EQ(u32_at(*data, 4), 1036u);
}

TEST(WavWriter, PipesAndFifosGetAStreamAndNeitherAGoneReaderNorAStallBlocksAStop) {
  signal(SIGPIPE, SIG_IGN);
  UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
  auto request_stop = [&] {
    uint64_t one = 1;
    ASSERT_EQ(::write(stop.get(), &one, sizeof one), 8);
  };
  std::vector<int16_t> samples = ramp(1000);

  // A pipe named as /dev/stdout would be: the header states the largest
  // size and the frames follow in order.
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd read_end(ends[0]), write_end(ends[1]);
  {
    WavWriter writer("/proc/self/fd/" + std::to_string(write_end.get()), stop.get());
    ASSERT_TRUE(writer.open(48000).ok());
    ASSERT_TRUE(writer.write(samples.data(), 1000).ok());
    writer.close(true);
  }
  write_end.reset();
  std::string got;
  char buffer[8192];
  for (ssize_t n; (n = ::read(read_end.get(), buffer, sizeof buffer)) > 0;) got.append(buffer, n);
  ASSERT_EQ(got.size(), kWavHeaderSize + 4000);
  EXPECT_GT(u32_at(got, 40), 0xFFFF0000u);
  EXPECT_EQ(std::memcmp(got.data() + kWavHeaderSize, samples.data(), 4000), 0);

  // The reader goes away: the write fails as a closed output, not a device.
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  read_end = UniqueFd(ends[0]);
  write_end = UniqueFd(ends[1]);
  WavWriter orphan("/proc/self/fd/" + std::to_string(write_end.get()), stop.get());
  ASSERT_TRUE(orphan.open(48000).ok());
  read_end.reset();
  EXPECT_FALSE(orphan.write(samples.data(), 1000).ok());
  EXPECT_TRUE(orphan.output_closed());

  // A reader that never reads: the write waits until the stop.
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  read_end = UniqueFd(ends[0]);
  write_end = UniqueFd(ends[1]);
  WavWriter stalled("/proc/self/fd/" + std::to_string(write_end.get()), stop.get());
  ASSERT_TRUE(stalled.open(48000).ok());
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    request_stop();
  });
  std::vector<int16_t> lots = ramp(1 << 17);
  Status blocked = stalled.write(lots.data(), 1 << 17);
  stopper.join();
  EXPECT_FALSE(blocked.ok());
  EXPECT_FALSE(stalled.output_closed());

  // A FIFO without a reader is waited for, until the stop.
  testing::TempDir dir;
  std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  WavWriter waiting(fifo, stop.get());
  EXPECT_FALSE(waiting.open(48000).ok());
}

}  // namespace
}  // namespace ze::stream
