#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace pumak {

// One background thread that runs the jobs posted to it one after another,
// in the order they were posted. Jobs must not throw.
class ordered_worker {
 public:
  ordered_worker();
  ~ordered_worker();  // runs what was posted, then joins
  ordered_worker(const ordered_worker&) = delete;
  ordered_worker& operator=(const ordered_worker&) = delete;

  void post(std::function<void()> job);
  // Returns once every job posted so far has run.
  void wait_idle();

 private:
  void loop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> jobs_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace pumak
