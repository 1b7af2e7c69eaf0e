// Running a call on the window's thread from the server link thread, waiting
// for it or not, without ever blocking shut-down.
//
// The window supplies a post function that queues a callable for its own event
// loop (in Qt: QMetaObject::invokeMethod(window, fn, Qt::QueuedConnection)).
// Run() posts and waits until the call has run; Post() only queues it, so the
// link thread does not wake again for the window's answer. Calls run in the
// order they were handed over, whichever of the two handed them. Once
// RequestStop() has been called, a waiting Run() returns at once and later
// calls return without posting; a call still sitting in the window's queue is
// then skipped when it comes up, so it never runs after the link gave up.
//
// Thread-safe: Run() from any thread but the window's own (it would wait for
// itself), the others from any thread. A UiHandOff without a post function runs
// calls directly on the caller's thread.
#pragma once

#include <functional>
#include <memory>

namespace drvvzt {

class UiHandOff {
public:
  using Call = std::function<void()>;
  using PostFn = std::function<void(Call)>;

  explicit UiHandOff(PostFn post = {});
  ~UiHandOff();
  UiHandOff(const UiHandOff&) = delete;
  UiHandOff& operator=(const UiHandOff&) = delete;

  // True when the call ran to its end; false when stop was requested before
  // it ran or while the caller was waiting for it. An exception thrown by the
  // call is caught on the window's thread and counts as having run.
  bool Run(Call call);
  // Queues the call and returns; false when stop was requested already.
  bool Post(Call call);

  void RequestStop();
  bool StopRequested() const;

private:
  struct Shared;
  void Queue(Call call);
  PostFn post_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace drvvzt
