// Running a call on the window's thread from the server link thread and
// waiting for it, without ever blocking shut-down.
//
// The window supplies a post function that queues a callable for its own event
// loop (in Qt: QMetaObject::invokeMethod(window, fn, Qt::QueuedConnection)).
// Run() posts and waits until the call has run. Once RequestStop() has been
// called, a waiting Run() returns at once and later Run() calls return without
// posting; a call still sitting in the window's queue is then skipped when it
// comes up, so it never runs after its waiter gave up.
//
// Thread-safe: Run() from any thread but the window's own (it would wait for
// itself), RequestStop() and StopRequested() from any thread. A UiHandOff
// without a post function runs calls directly on the caller's thread.
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

  void RequestStop();
  bool StopRequested() const;

private:
  struct Shared;
  PostFn post_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace drvvzt
