// Handing calls to a stand-in window thread, waiting for them or not.
#include "server/ui_hand_off.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace drvvzt {
namespace {

// A window thread with its own queue of posted calls, served until Quit().
class WindowThread {
public:
  WindowThread() : thread_([this] { Serve(); }) {}
  ~WindowThread() {
    Quit();
    thread_.join();
  }
  void Post(UiHandOff::Call call) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(call));
    }
    changed_.notify_all();
  }
  void Quit() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
  }
  std::thread::id Id() const { return thread_.get_id(); }

private:
  void Serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return quit_ || !queue_.empty(); });
      if (quit_) return;
      UiHandOff::Call call = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      call();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<UiHandOff::Call> queue_;
  bool quit_ = false;
  std::thread thread_;
};

TEST(UiHandOffTest, RunsTheCallOnTheWindowThreadAndWaitsForIt) {
  WindowThread window;
  UiHandOff hand_off([&](UiHandOff::Call call) { window.Post(std::move(call)); });
  std::thread::id ran_on;
  int value = 0;
  EXPECT_TRUE(hand_off.Run([&] {
    ran_on = std::this_thread::get_id();
    value = 42;
  }));
  EXPECT_EQ(ran_on, window.Id());
  EXPECT_EQ(value, 42) << "the result is there when Run returns";
  EXPECT_TRUE(hand_off.Run([] { throw std::runtime_error("redraw failed"); }));
}

TEST(UiHandOffTest, PostedCallsRunInTheirPlaceAmongWaitedOnes) {
  WindowThread window;
  UiHandOff hand_off([&](UiHandOff::Call call) { window.Post(std::move(call)); });
  std::vector<int> order;  // touched on the window thread only until Run returns
  EXPECT_TRUE(hand_off.Post([&] { order.push_back(1); }));
  EXPECT_TRUE(hand_off.Post([] { throw std::runtime_error("redraw failed"); }));
  EXPECT_TRUE(hand_off.Post([&] { order.push_back(2); }));
  EXPECT_TRUE(hand_off.Run([&] { order.push_back(3); }));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(UiHandOffTest, StopReleasesAWaiterWhoseCallIsNeverServed) {
  std::mutex mutex;
  std::deque<UiHandOff::Call> parked;  // a window that no longer runs its loop
  UiHandOff hand_off([&](UiHandOff::Call call) {
    std::lock_guard lock(mutex);
    parked.push_back(std::move(call));
  });
  std::atomic<bool> result{true};
  std::atomic<bool> ran{false};
  ASSERT_TRUE(hand_off.Post([&] { ran = true; }));
  std::thread link([&] { result = hand_off.Run([&] { ran = true; }); });
  for (;;) {
    std::lock_guard lock(mutex);
    if (parked.size() == 2) break;
  }
  hand_off.RequestStop();
  link.join();
  EXPECT_FALSE(result.load());

  // The window coming back later runs none of the calls left in its queue,
  // and new hand-offs return at once without posting.
  for (auto& call : parked) call();
  EXPECT_FALSE(ran.load());
  EXPECT_FALSE(hand_off.Run([&] { ran = true; }));
  EXPECT_FALSE(hand_off.Post([&] { ran = true; }));
  EXPECT_EQ(parked.size(), 2u);
}

TEST(UiHandOffTest, WithoutPostFunctionRunsOnTheCallersThread) {
  UiHandOff hand_off;
  std::thread::id ran_on;
  EXPECT_TRUE(hand_off.Run([&] { ran_on = std::this_thread::get_id(); }));
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

}  // namespace
}  // namespace drvvzt
