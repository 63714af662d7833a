#pragma once
// Runs work that blocks (waiting on a file lock, fsync) away from the event loop's
// thread and answers on the loop, so a slow disk or a locked database delays only
// the work that needs it. Every decision stays on the loop's thread: the work is
// handed what it needs and reports back through the promise.

#include <memory>

#include <kj/async.h>
#include <kj/function.h>

namespace automation {

class BlockingWorker {
 public:
  virtual ~BlockingWorker() = default;

  // Runs `work`, then resolves on the calling loop. Work runs one item at a time, in
  // the order handed over. `work` must touch nothing that the loop's thread uses
  // meanwhile; whatever it captures must live until the promise resolves.
  virtual kj::Promise<void> Run(kj::Function<void()> work) = 0;
};

// Runs the work at once on the caller's thread; the promise is already resolved.
// For tests that step the loop by hand and for tools with nothing else to serve.
class InlineWorker final : public BlockingWorker {
 public:
  kj::Promise<void> Run(kj::Function<void()> work) override;
};

// One thread of its own, with its own kj event loop, that runs the work handed to
// it. The calling loop must be able to receive cross-thread events (any kj loop
// can). The destructor waits for the work in hand to end, then stops the thread.
class WorkerThread final : public BlockingWorker {
 public:
  WorkerThread();
  ~WorkerThread() override;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  kj::Promise<void> Run(kj::Function<void()> work) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace automation
