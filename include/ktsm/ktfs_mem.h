// ktfs::ktfs_mem::mempool<T>: the pool from which the library's records are
// allocated.
//
// Objects live packed in blocks taken from the general heap (the first block
// holds 32 objects; each further block twice as many as the one before) and
// are handed out as boost::shared_ptr<T> handles whose deleter runs the
// destructor and returns the chunk to the pool that made it.  Blocks go back
// to the heap only when the pool is destroyed.  Taking a chunk and returning
// one both take constant time: a returned chunk goes to the head of the free
// list and is the next one handed out, so releasing n records costs time in
// n (a million in tens of milliseconds; see BENCHMARKS.md).
//
// Thread safety: taking and returning chunks, and the two counts, are
// serialised by a mutex of the pool's own.  The mutex is not held while an
// object's destructor runs, because a destructor may drop the last handle of
// another object of the same pool (a release nested in a release).
//
// REQUIRES: every handle is dropped before its pool is destroyed.  A pool
// destroyed with objects still alive runs their destructors first, in
// O(f log f) time for f free chunks; with none alive it only frees its
// blocks.
#ifndef KTSM_KTFS_MEM_H_
#define KTSM_KTFS_MEM_H_

#include <boost/bind/bind.hpp>
#include <boost/pool/object_pool.hpp>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace ktfs {
namespace ktfs_mem {
namespace detail {

// Boost's object pool with constant-time release.  Chunks are taken as
// object_pool takes them (from the head of the free list; a new block is
// linked in address order among the others) but are returned to the head of
// the free list instead of to their place in address order.  Objects alive
// are counted, so that destruction can leave out the walk for leftovers when
// there are none; when there are, the free list is first sorted by address,
// which is the order object_pool's destructor needs to tell free chunks from
// objects still alive.  Not thread-safe: mempool serialises the calls.
template <class T, class UserAllocator>
class unordered_object_pool : private boost::object_pool<T, UserAllocator> {
  typedef boost::object_pool<T, UserAllocator> base;

 public:
  unordered_object_pool() : base(32, 0), m_live(0) {}
  ~unordered_object_pool() {
    if (m_live == 0) {
      this->store().purge_memory();
    } else {
      this->first = sort_by_address(this->first, free_chunks());
    }
  }

  // A new default-constructed object, or null when the heap cannot supply a
  // new block.  An exception of T's constructor passes (chunk returned).
  T* construct() {
    T* object = base::construct();
    if (object != nullptr) ++m_live;
    return object;
  }

  // Returns the chunk of an object whose destructor has run.
  void release(T* p) {
    this->store().free(p);
    --m_live;
  }

 private:
  std::size_t free_chunks() const {
    std::size_t n = 0;
    for (void* c = this->first; c != nullptr; c = base::nextof(c)) ++n;
    return n;
  }

  // Sorts the n chunks of the list from head (merge sort on the links, no
  // allocation); *rest receives the chunk that followed them.
  static void* sort_by_address(void* head, std::size_t n, void** rest = nullptr) {
    if (n <= 1) {
      void* after = n == 0 ? head : base::nextof(head);
      if (rest != nullptr) *rest = after;
      if (n == 1) base::nextof(head) = nullptr;
      return n == 0 ? nullptr : head;
    }
    void* low = sort_by_address(head, n / 2, &head);
    void* high = sort_by_address(head, n - n / 2, rest);
    return merge(low, high);
  }

  static void* merge(void* a, void* b) {
    void* head = nullptr;
    void** tail = &head;
    while (a != nullptr && b != nullptr) {
      void*& lower = std::less<void*>()(a, b) ? a : b;
      *tail = lower;
      tail = &base::nextof(lower);
      lower = base::nextof(lower);
    }
    *tail = a != nullptr ? a : b;
    return head;
  }

  std::size_t m_live;
};

}  // namespace detail

// UserAllocator is Boost.Pool's block allocator; the default takes blocks
// with the non-throwing form of new.  Tests put a counting one in.
template <class T, class UserAllocator = boost::default_user_allocator_new_delete>
class mempool {
 public:
  mempool() : m_alloc_count(0), m_release_count(0) {}
  mempool(const mempool&) = delete;
  mempool& operator=(const mempool&) = delete;

  // A new default-constructed object in a shared handle.  Returns an empty
  // handle when the heap cannot supply a new block (no constructor runs and
  // dropping the handle does nothing).  Throws std::bad_alloc when the
  // handle's reference-count block cannot be had (the object is returned to
  // the pool first), and passes on an exception of T's constructor (the
  // chunk is returned first).
  boost::shared_ptr<T> make_shared() {
    T* object = nullptr;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      ++m_alloc_count;
      object = m_pool.construct();
    }
    if (object == nullptr) return boost::shared_ptr<T>();
    return boost::shared_ptr<T>(object,
                                boost::bind(&mempool::destroy, this, boost::placeholders::_1));
  }

  // Runs p's destructor, then returns its chunk to the pool.
  // REQUIRES: p was made by this pool and is destroyed once.
  void destroy(T* p) {
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      ++m_release_count;
    }
    p->~T();
    std::lock_guard<std::mutex> guard(m_mutex);
    m_pool.release(p);
  }

  // Statistics: requests made (failed ones included) and objects released.
  uint64_t alloc_count() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_alloc_count;
  }
  uint64_t release_count() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_release_count;
  }

 private:
  detail::unordered_object_pool<T, UserAllocator> m_pool;
  uint64_t m_alloc_count;
  uint64_t m_release_count;
  mutable std::mutex m_mutex;
};

}  // namespace ktfs_mem
}  // namespace ktfs

#endif  // KTSM_KTFS_MEM_H_
