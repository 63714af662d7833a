#include "automation/blocking_worker.h"

#include <kj/mutex.h>
#include <kj/thread.h>

namespace automation {

kj::Promise<void> InlineWorker::Run(kj::Function<void()> work) {
  // A failure of the work rejects the promise, as it would from a worker thread.
  return kj::evalNow([&]() -> kj::Promise<void> {
    work();
    return kj::READY_NOW;
  });
}

struct WorkerThread::Impl {
  // Published by the worker's thread once its loop runs; constant after the
  // constructor has seen it.
  kj::MutexGuarded<kj::Maybe<kj::Own<const kj::Executor>>> executor;
  // Touched only on the worker's thread: fulfilled there to end its loop.
  kj::Own<kj::PromiseFulfiller<void>> stop;
  kj::Maybe<kj::Thread> thread;  // joined by the destructor before the rest goes

  void Serve() {
    kj::EventLoop loop;
    kj::WaitScope waitScope(loop);
    auto stopped = kj::newPromiseAndFulfiller<void>();
    stop = kj::mv(stopped.fulfiller);
    *executor.lockExclusive() = kj::getCurrentThreadExecutor().addRef();
    // The work arrives as cross-thread events, which run while this waits.
    stopped.promise.wait(waitScope);
    stop = nullptr;
  }

  const kj::Executor& Executor() {
    KJ_IF_MAYBE(e, *executor.lockShared()) { return **e; }
    KJ_FAIL_ASSERT("the worker's loop has not started");
  }
};

WorkerThread::WorkerThread() : impl_(std::make_unique<Impl>()) {
  Impl& impl = *impl_;
  impl.thread.emplace([&impl]() { impl.Serve(); });
  impl.executor.lockExclusive().wait(
      [](const kj::Maybe<kj::Own<const kj::Executor>>& e) { return e != nullptr; });
}

WorkerThread::~WorkerThread() {
  // Queued behind the work already handed over, so that work ends first; the thread
  // then leaves its loop and is joined.
  Impl& impl = *impl_;
  impl.Executor().executeSync([&impl]() { impl.stop->fulfill(); });
  impl.thread = nullptr;
}

kj::Promise<void> WorkerThread::Run(kj::Function<void()> work) {
  return impl_->Executor().executeAsync(kj::mv(work));
}

}  // namespace automation
