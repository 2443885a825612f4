#include "base/queue.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace ze {
namespace {

TEST(QueueTest, EachProducersOrderIsKeptAndNothingIsLost) {
  QueueHandle<int> queue = make_queue<int>();
  constexpr int kPerProducer = 5000;
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([queue, p] {
      for (int i = 0; i < kPerProducer; ++i) queue->send(p * kPerProducer + i);
    });
  }
  for (auto& t : producers) t.join();
  std::vector<int> last(4, -1);
  int count = 0;
  while (std::optional<int> v = queue->try_receive()) {
    int producer = *v / kPerProducer;
    EXPECT_GT(*v, last[producer]);
    last[producer] = *v;
    ++count;
  }
  EXPECT_EQ(count, 4 * kPerProducer);
  EXPECT_FALSE(queue->try_receive().has_value());
}

}  // namespace
}  // namespace ze
