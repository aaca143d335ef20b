#pragma once
// A second thread for one piece of work at a time (internal): the caller starts it, does
// its own share, then waits for it. The work is computation only, so the wait ends.
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace qvx::psd::detail {

class ForkJoin {
 public:
  // `body` runs on the thread once per Start(); it reads its inputs from its owner.
  explicit ForkJoin(std::function<void()> body);
  ~ForkJoin();
  ForkJoin(const ForkJoin&) = delete;
  ForkJoin& operator=(const ForkJoin&) = delete;

  void Start();
  // Until the body has returned; rethrows what it threw.
  void Wait();

 private:
  void Loop();

  std::function<void()> body_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  bool pending_ = false;
  bool stop_ = false;
  std::exception_ptr error_;
  std::thread thread_;  // last, so it starts with the rest in place
};

}  // namespace qvx::psd::detail
