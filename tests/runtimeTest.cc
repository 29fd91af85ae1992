// Worker threads with bounded queues, worker pools and memory pools.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/kestMem.h"
#include "runtime/kestThreads.h"

namespace vorlan {
namespace {

// A gate that threads wait at until the test opens it.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(m_);
    open_ = true;
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Waits, boundedly, for a condition another thread makes true.
template <class Pred>
bool eventually(Pred pred) {
  for (int i = 0; i < 2000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

// Items are ints owned by the queue; releasing one records it.
std::mutex releasedMutex;
std::vector<int> released;
void releaseInt(void* item) {
  std::lock_guard<std::mutex> lock(releasedMutex);
  released.push_back(*static_cast<int*>(item));
  delete static_cast<int*>(item);
}
std::vector<int> releasedItems() {
  std::lock_guard<std::mutex> lock(releasedMutex);
  return released;
}

struct Worker {
  KestThread* thread = nullptr;
  Gate gate;
  std::atomic<int> taken{0};
  std::mutex handledMutex;
  std::vector<int> handled;
};

// Waits at the gate before handling each item; ends on the stop flag.
void* APR_THREAD_FUNC workerMain(apr_thread_t*, void* data) {
  auto* w = static_cast<Worker*>(data);
  for (;;) {
    void* item = nullptr;
    int stop = 0;
    int rc = takeKestThread(w->thread, &item, &stop, nullptr);
    if (stop != 0 || rc != 0) {
      if (item != nullptr) releaseInt(item);
      return nullptr;
    }
    ++w->taken;
    w->gate.wait();
    if (item != nullptr) {
      std::lock_guard<std::mutex> lock(w->handledMutex);
      w->handled.push_back(*static_cast<int*>(item));
      delete static_cast<int*>(item);
    }
  }
}

class KestThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { released.clear(); }
};

TEST_F(KestThreadTest, FullQueueRefusesAtOnceAndDrainReleases) {
  KestThread* t = nullptr;
  ASSERT_EQ(createKestThread(&t, 1, releaseInt, nullptr), 0);
  EXPECT_EQ(putKestThread(t, new int(1), nullptr), 0);
  int* second = new int(2);
  EXPECT_EQ(putKestThread(t, second, nullptr), -3088);
  delete second;  // refused: still the caller's
  sampleKestThread(t, nullptr);
  EXPECT_EQ(t->lengthSnapshot, 1);
  drainKestThread(t, nullptr);
  EXPECT_EQ(releasedItems(), std::vector<int>{1});
  // Never started: stop returns without waiting for a thread.
  EXPECT_EQ(putKestThread(t, new int(3), nullptr), 0);
  EXPECT_EQ(stopKestThread(t, nullptr), 0);
  EXPECT_EQ(destroyKestThread(t, nullptr), 0);
  EXPECT_EQ(releasedItems(), (std::vector<int>{1, 3}));
  EXPECT_EQ(destroyKestThread(nullptr, nullptr), 0);
  KestThread* none = reinterpret_cast<KestThread*>(1);
  EXPECT_NE(createKestThread(&none, 0, releaseInt, nullptr), 0);
  EXPECT_EQ(none, nullptr);
}

TEST_F(KestThreadTest, WorkerHandlesItemsInOrderUntilStopped) {
  Worker w;
  ASSERT_EQ(createKestThread(&w.thread, 8, releaseInt, nullptr), 0);
  ASSERT_EQ(startKestThread(w.thread, workerMain, &w, nullptr), 0);
  w.gate.open();
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(putKestThread(w.thread, new int(i), nullptr), 0);
  ASSERT_TRUE(eventually([&] { return w.taken.load() == 5; }));
  EXPECT_EQ(stopKestThread(w.thread, nullptr), 0);
  EXPECT_EQ(w.handled, (std::vector<int>{0, 1, 2, 3, 4}));
  // After the worker ended, puts still queue; destroy releases them.
  EXPECT_EQ(putKestThread(w.thread, new int(9), nullptr), 0);
  EXPECT_EQ(destroyKestThread(w.thread, nullptr), 0);
  EXPECT_EQ(releasedItems(), std::vector<int>{9});
}

TEST_F(KestThreadTest, WorkerThreadsRunWithSigpipeBlocked) {
  KestThread* t = nullptr;
  ASSERT_EQ(createKestThread(&t, 1, releaseInt, nullptr), 0);
  static std::atomic<int> blocked{-1};
  ASSERT_EQ(startKestThread(
                t,
                [](apr_thread_t*, void*) -> void* {
                  sigset_t mask;
                  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
                  blocked = sigismember(&mask, SIGPIPE);
                  return nullptr;
                },
                nullptr, nullptr),
            0);
  EXPECT_EQ(stopKestThread(t, nullptr), 0);
  EXPECT_EQ(blocked.load(), 1);
  // The creating thread's own mask is left as it was.
  sigset_t mine;
  pthread_sigmask(SIG_BLOCK, nullptr, &mine);
  EXPECT_EQ(sigismember(&mine, SIGPIPE), 0);
  destroyKestThread(t, nullptr);
}

TEST_F(KestThreadTest, StopWithAFullQueueReleasesOneItemAndJoins) {
  Worker w;
  ASSERT_EQ(createKestThread(&w.thread, 1, releaseInt, nullptr), 0);
  ASSERT_EQ(startKestThread(w.thread, workerMain, &w, nullptr), 0);
  ASSERT_EQ(putKestThread(w.thread, new int(1), nullptr), 0);
  ASSERT_TRUE(eventually([&] { return w.taken.load() == 1; }));  // held
  ASSERT_EQ(putKestThread(w.thread, new int(2), nullptr), 0);    // now full

  std::atomic<bool> stopped{false};
  std::thread closer([&] {
    stopKestThread(w.thread, nullptr);
    stopped = true;
  });
  // The waiting item makes room for the marker and goes to its owner.
  ASSERT_TRUE(
      eventually([] { return releasedItems() == std::vector<int>{2}; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(stopped.load()) << "stop must wait for the running item";
  w.gate.open();
  closer.join();
  EXPECT_EQ(w.handled, std::vector<int>{1});
  EXPECT_EQ(destroyKestThread(w.thread, nullptr), 0);
  EXPECT_EQ(releasedItems(), std::vector<int>{2});
}

// Pool jobs: each records whether the pool was stopping when it ran.
struct PoolJob {
  KestPool* pool;
  Gate* gate;
  std::atomic<int>* started;
  std::atomic<int>* sawStopping;
  std::atomic<int>* finished;
};

void runPoolJob(void* data) {
  auto* job = static_cast<PoolJob*>(data);
  ++*job->started;
  if (job->gate != nullptr) job->gate->wait();
  if (job->pool->stopping) ++*job->sawStopping;
  ++*job->finished;
  delete job;
}

std::atomic<int> poolReleased{0};
void releasePoolJob(void* data) {
  ++poolReleased;
  delete static_cast<PoolJob*>(data);
}

TEST(KestPoolTest, RunsJobsAndCancelWaitsForTheRunningOne) {
  poolReleased = 0;
  KestPool* pool = nullptr;
  ASSERT_EQ(createKestPool(&pool, 1, 1, "KestSoap", releasePoolJob, nullptr),
            0);
  ASSERT_EQ(startKestPool(pool, nullptr), 0);
  Gate gate;
  std::atomic<int> started{0}, sawStopping{0}, finished{0};
  ASSERT_EQ(submitKestPool(
                pool, runPoolJob,
                new PoolJob{pool, &gate, &started, &sawStopping, &finished}),
            APR_SUCCESS);
  ASSERT_TRUE(eventually([&] { return started.load() == 1; }));
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(submitKestPool(pool, runPoolJob,
                             new PoolJob{pool, nullptr, &started, &sawStopping,
                                         &finished}),
              APR_SUCCESS);
  sampleKestPool(pool, nullptr);
  EXPECT_EQ(pool->queued, 3u);
  EXPECT_EQ(pool->busy, 1u);

  std::atomic<bool> cancelled{false};
  std::thread closer([&] {
    EXPECT_EQ(cancelKestPool(pool, nullptr), 0);
    cancelled = true;
  });
  ASSERT_TRUE(eventually([&] { return pool->stopping == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(cancelled.load()) << "cancel must wait for the running job";
  gate.open();
  closer.join();
  // The waiting jobs were dropped to the release function, not leaked.
  EXPECT_EQ(poolReleased.load(), 3);
  EXPECT_EQ(finished.load(), 1);
  EXPECT_EQ(sawStopping.load(), 1) << "a job that goes on after cancel sees it";
  // Once cancelled, the pool refuses new jobs; the caller keeps them.
  auto* late = new PoolJob{pool, nullptr, &started, &sawStopping, &finished};
  EXPECT_NE(submitKestPool(pool, runPoolJob, late), APR_SUCCESS);
  delete late;
  EXPECT_EQ(destroyKestPool(pool, nullptr), 0);
  EXPECT_EQ(destroyKestPool(nullptr, nullptr), 0);
}

TEST(KestPoolTest, DestroyReleasesJobsThatNeverRan) {
  poolReleased = 0;
  KestPool* pool = nullptr;
  ASSERT_EQ(createKestPool(&pool, 1, 1, "KestSoap", releasePoolJob, nullptr),
            0);
  Gate gate;
  std::atomic<int> started{0}, sawStopping{0}, finished{0};
  ASSERT_EQ(submitKestPool(
                pool, runPoolJob,
                new PoolJob{pool, &gate, &started, &sawStopping, &finished}),
            APR_SUCCESS);
  ASSERT_TRUE(eventually([&] { return started.load() == 1; }));
  ASSERT_EQ(submitKestPool(
                pool, runPoolJob,
                new PoolJob{pool, nullptr, &started, &sawStopping, &finished}),
            APR_SUCCESS);
  gate.open();
  ASSERT_TRUE(eventually([&] { return finished.load() == 2; }));
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(submitKestPool(
                  pool, runPoolJob,
                  new PoolJob{pool, &gate, &started, &sawStopping, &finished}),
              APR_SUCCESS);
  EXPECT_EQ(destroyKestPool(pool, nullptr), 0);
  EXPECT_EQ(finished.load() + poolReleased.load(), 6);
}

TEST(MemPool, CreatesWithItsOwnAllocatorAndDestroysOnce) {
  apr_pool_t* pool = nullptr;
  ASSERT_EQ(createMemPool(&pool, nullptr, "test", 32, nullptr), 0);
  ASSERT_NE(pool, nullptr);
  apr_pool_t* child = nullptr;
  ASSERT_EQ(createMemPool(&child, pool, "child", 0, nullptr), 0);
  EXPECT_NE(apr_pool_allocator_get(child), apr_pool_allocator_get(pool));
  EXPECT_NE(apr_palloc(child, 100000), nullptr);
  EXPECT_EQ(destroyMemPool(&pool, nullptr), 0);  // takes the child along
  EXPECT_EQ(pool, nullptr);
  EXPECT_EQ(destroyMemPool(&pool, nullptr), 0);
  EXPECT_EQ(destroyMemPool(nullptr, nullptr), 0);
}

}  // namespace
}  // namespace vorlan
