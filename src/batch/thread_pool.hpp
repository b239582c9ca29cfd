// A fixed set of worker threads that run a range of indices in shares. The range
// [0, count) is cut into contiguous shares that depend only on the count and the
// number of shares; the calling thread and the workers claim shares one at a time
// until none is left, so a thread that the system does not schedule holds up no
// more than the share it has begun. A task whose items are independent therefore
// gives the same results on any number of threads.
//
// A batch of a thousand small environments steps in well under a millisecond,
// about as long as waking a sleeping thread can take on a busy machine, so idle
// workers spin for a moment before they sleep, and so does the caller while it
// waits for the last shares.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class ThreadPool {
 public:
  using Task = std::function<void(int64_t begin, int64_t end)>;

  explicit ThreadPool(int32_t num_threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int32_t size() const { return static_cast<int32_t>(workers_.size()) + 1; }

  // runs task over [0, count) in `shares` contiguous shares (at most kMaxShares);
  // rethrows the first exception a share threw, after every share has finished
  void run(int64_t count, int32_t shares, const Task& task);

  // stops and joins the workers; run() afterwards uses the calling thread only
  void join();

  static constexpr int32_t kMaxShares = 0xffff;

 private:
  void work();
  uint64_t wait_for_work(uint64_t seen);
  void run_claimed_shares(uint64_t generation);
  void run_share(int64_t share, int64_t shares);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  std::atomic<uint64_t> generation_{0};  // bumped once per run()
  std::atomic<bool> stopping_{false};
  // the next share to claim: generation in the high 32 bits, then the number of
  // shares and the next unclaimed share, 16 bits each; a thread still looking for
  // shares of an earlier run sees another generation and claims nothing
  std::atomic<uint64_t> claim_{0};
  std::atomic<int32_t> finished_shares_{0};
  // the current run, written before its claim word is published
  const Task* task_ = nullptr;
  int64_t count_ = 0;
  std::exception_ptr error_;  // guarded by mutex_
};
