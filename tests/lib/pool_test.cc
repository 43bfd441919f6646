// The record pools: reuse, growth, nested releases and concurrent use.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "internal.h"
#include "ktsm/ktfs_mem.h"
#include "ktsm/ktsm_filegroup_version_set.h"

using ktsm_internal::access;

namespace {

typedef ktsm_filegroup_version_set vs;
typedef boost::shared_ptr<ktsm_filegroup_version> version_ptr;

// A block allocator that counts the blocks the pool takes from the heap.
struct counting_allocator {
  typedef std::size_t size_type;
  typedef std::ptrdiff_t difference_type;
  static std::atomic<int> blocks;
  static char* malloc(size_type bytes) {
    ++blocks;
    return new (std::nothrow) char[bytes];
  }
  static void free(char* block) {
    --blocks;
    delete[] block;
  }
};
std::atomic<int> counting_allocator::blocks{0};

struct probe {
  static std::atomic<int> alive;
  probe() { ++alive; }
  ~probe() { --alive; }
  int payload = 7;
};
std::atomic<int> probe::alive{0};

TEST(PoolTest, ReleasedChunkComesBackAsAFreshObject) {
  version_ptr v = access::allocate_version();
  ASSERT_TRUE(v);
  ktsm_filegroup_version* address = v.get();
  access::set_name(*v, "v1");
  access::set_state(*v, vs::SNAP_STATE_ACTIVE);
  access::set_production_version(*v);
  version_ptr older = access::allocate_version();
  access::set_older_version(*v, older);
  v.reset();
  version_ptr again = access::allocate_version();
  // The chunk released last (v's, after the older version it held) is the
  // first handed out again.
  EXPECT_EQ(again.get(), address);
  EXPECT_EQ(again->get_name(), "");
  EXPECT_EQ(again->get_state(), "");
  EXPECT_FALSE(again->is_production_version());
  EXPECT_FALSE(again->get_older_version());
  EXPECT_FALSE(again->get_fg_versionset());

  vs::set_ptr set = access::allocate_set();
  ASSERT_TRUE(set);
  EXPECT_EQ(set->get_name(), "");
  EXPECT_TRUE(access::versions(*set).empty());
}

TEST(PoolTest, ThirtyThirdLiveObjectTakesASecondBlockAndCountsAreKept) {
  {
    ktfs::ktfs_mem::mempool<probe, counting_allocator> pool;
    std::vector<boost::shared_ptr<probe>> live;
    for (int i = 0; i < 32; ++i) live.push_back(pool.make_shared());
    EXPECT_EQ(counting_allocator::blocks.load(), 1);
    live.push_back(pool.make_shared());
    EXPECT_EQ(counting_allocator::blocks.load(), 2);
    EXPECT_EQ(probe::alive.load(), 33);

    // Copies: only the last one returns the object.
    boost::shared_ptr<probe> copy = live[0];
    live[0].reset();
    EXPECT_EQ(pool.release_count(), 0u);
    EXPECT_EQ(copy->payload, 7);
    copy.reset();
    EXPECT_EQ(pool.release_count(), 1u);
    EXPECT_EQ(pool.alloc_count(), 33u);
    live.clear();
    EXPECT_EQ(probe::alive.load(), 0);
    EXPECT_EQ(counting_allocator::blocks.load(), 2) << "blocks stay until the pool goes";
  }
  EXPECT_EQ(counting_allocator::blocks.load(), 0);
}

// Chunks come back in whatever order the handles go (the making order is
// the order stop() releases a set's list in) and are all handed out again
// before the pool takes another block.
TEST(PoolTest, ChunksReturnedInAnyOrderAreReusedBeforeANewBlock) {
  {
    ktfs::ktfs_mem::mempool<probe, counting_allocator> pool;
    std::vector<boost::shared_ptr<probe>> live;
    for (int i = 0; i < 96; ++i) live.push_back(pool.make_shared());  // blocks of 32 and 64
    ASSERT_EQ(counting_allocator::blocks.load(), 2);
    std::set<probe*> addresses;
    for (const auto& p : live) addresses.insert(p.get());
    for (int round = 0; round < 3; ++round) {
      if (round == 1) std::reverse(live.begin(), live.end());
      if (round == 2)
        std::stable_partition(live.begin(), live.end(), [&](const auto& p) {
          return reinterpret_cast<uintptr_t>(p.get()) % 3 == 0;
        });
      live.clear();
      EXPECT_EQ(probe::alive.load(), 0);
      for (int i = 0; i < 96; ++i) live.push_back(pool.make_shared());
      std::set<probe*> again;
      for (const auto& p : live) again.insert(p.get());
      EXPECT_EQ(again, addresses) << "round " << round;
      EXPECT_EQ(counting_allocator::blocks.load(), 2) << "round " << round;
    }
    EXPECT_EQ(pool.release_count(), 3u * 96);
    live.clear();
  }
  EXPECT_EQ(counting_allocator::blocks.load(), 0);
}

// A pool destroyed while objects of it are alive destroys them (a host that
// breaks the rule of dropping every handle first still gets destructors),
// whatever order the free chunks went back in, and only them.
TEST(PoolTest, ObjectsStillAliveWhenThePoolGoesAreDestroyedWithIt) {
  // Never dropped: their pool is gone.  Reachable, so not reported as leaked.
  static auto* kept = new std::vector<boost::shared_ptr<probe>>();
  for (int order = 0; order < 3; ++order) {
    {
      ktfs::ktfs_mem::mempool<probe, counting_allocator> pool;
      std::vector<boost::shared_ptr<probe>> dropped;
      for (int i = 0; i < 40; ++i) (i % 4 == 1 ? dropped : *kept).push_back(pool.make_shared());
      if (order == 1) std::reverse(dropped.begin(), dropped.end());
      if (order == 2) std::swap(dropped[2], dropped[7]);
      dropped.clear();
      EXPECT_EQ(probe::alive.load(), 30) << "order " << order;
      EXPECT_EQ(pool.release_count(), 10u);
    }
    EXPECT_EQ(probe::alive.load(), 0) << "order " << order;
    EXPECT_EQ(counting_allocator::blocks.load(), 0);
  }
}

TEST(PoolTest, DroppingAVersionReleasesTheOlderVersionItAloneHeld) {
  uint64_t released = access::version_pool().release_count();
  version_ptr newer = access::allocate_version();
  {
    version_ptr older = access::allocate_version();
    version_ptr oldest = access::allocate_version();
    access::set_older_version(*older, oldest);
    access::set_older_version(*newer, older);
  }
  newer.reset();  // nests two releases into the same pool
  EXPECT_EQ(access::version_pool().release_count(), released + 3);

  // A version holding its set: the set goes back to the other pool in turn.
  uint64_t sets_released = access::set_pool().release_count();
  version_ptr v = access::allocate_version();
  access::set_fg_versionset(*v, access::allocate_set());
  v.reset();
  EXPECT_EQ(access::set_pool().release_count(), sets_released + 1);
}

TEST(PoolTest, ThreadsAllocateReleaseAndDropSharedCopies) {
  const int kThreads = 4, kRounds = 2000;
  uint64_t allocated = access::version_pool().alloc_count();
  uint64_t released = access::version_pool().release_count();
  std::vector<version_ptr> shared(kRounds);
  for (auto& v : shared) v = access::allocate_version();
  // Every thread holds its own copies of the same handles and drops them
  // while the others do: whichever drops last returns the record.  Its own
  // records it keeps in batches and releases a batch at once, in making
  // order, as stop() releases a set's versions, while the others allocate.
  std::vector<std::vector<version_ptr>> copies(kThreads, shared);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<version_ptr> batch;
      for (int i = 0; i < kRounds; ++i) {
        version_ptr mine = access::allocate_version();
        access::set_name(*mine, "t" + std::to_string(t));
        if (i % 3 == t % 3) access::set_older_version(*mine, copies[t][i]);
        copies[t][i].reset();
        batch.push_back(mine);
        if (batch.size() == 250) batch.clear();
        EXPECT_EQ(mine->get_name(), "t" + std::to_string(t));
      }
    });
  }
  shared.clear();
  for (auto& t : threads) t.join();
  EXPECT_EQ(access::version_pool().alloc_count(), allocated + kRounds * (kThreads + 1));
  EXPECT_EQ(access::version_pool().release_count(), released + kRounds * (kThreads + 1));
}

}  // namespace
