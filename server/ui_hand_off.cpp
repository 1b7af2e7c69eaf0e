// Posting calls to the window's thread, waiting for them or not; see ui_hand_off.h.
#include "server/ui_hand_off.h"

#include <condition_variable>
#include <mutex>

namespace drvvzt {

// Lives as long as the longest of the hand-off and every posted call, so a call
// the window runs late (after the link thread gave up) still finds it.
struct UiHandOff::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;
};

namespace {

// The part of one posted call that the waiter and the window share.
struct Pending {
  bool done = false;
};

// A call that throws counts as having run; nothing crosses the event loop.
void RunCaught(const UiHandOff::Call& call) {
  try {
    call();
  } catch (...) {
  }
}

}  // namespace

UiHandOff::UiHandOff(PostFn post) : post_(std::move(post)), shared_(std::make_shared<Shared>()) {}

UiHandOff::~UiHandOff() { RequestStop(); }

bool UiHandOff::Run(Call call) {
  if (StopRequested()) return false;
  if (!post_) {
    RunCaught(call);
    return true;
  }
  auto shared = shared_;
  auto pending = std::make_shared<Pending>();
  Queue([shared, pending, call = std::move(call)] {
    RunCaught(call);
    {
      std::lock_guard lock(shared->mutex);
      pending->done = true;
    }
    shared->changed.notify_all();
  });
  std::unique_lock lock(shared->mutex);
  shared->changed.wait(lock, [&] { return pending->done || shared->stop; });
  return pending->done;
}

bool UiHandOff::Post(Call call) {
  if (StopRequested()) return false;
  if (!post_) {
    RunCaught(call);
    return true;
  }
  Queue(std::move(call));
  return true;
}

// The window runs the call only if stop has not been requested by then.
void UiHandOff::Queue(Call call) {
  post_([shared = shared_, call = std::move(call)] {
    {
      std::lock_guard lock(shared->mutex);
      if (shared->stop) return;
    }
    RunCaught(call);
  });
}

void UiHandOff::RequestStop() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stop = true;
  }
  shared_->changed.notify_all();
}

bool UiHandOff::StopRequested() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->stop;
}

}  // namespace drvvzt
