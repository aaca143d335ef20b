#include "psd/fork_join.h"

#include <utility>

namespace qvx::psd::detail {

ForkJoin::ForkJoin(std::function<void()> body) : body_(std::move(body)), thread_([this] { Loop(); }) {}

ForkJoin::~ForkJoin() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void ForkJoin::Start() {
  {
    std::lock_guard lock(mutex_);
    pending_ = true;
  }
  wake_.notify_one();
}

void ForkJoin::Wait() {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return !pending_; });
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void ForkJoin::Loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return pending_ || stop_; });
    if (stop_) return;
    lock.unlock();
    std::exception_ptr error;
    try {
      body_();
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    error_ = error;
    pending_ = false;
    done_.notify_one();
  }
}

}  // namespace qvx::psd::detail
