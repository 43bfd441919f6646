// ktfs::ktfs_mem::mempool<T>: the pool from which the library's records are
// allocated.
//
// Objects live packed in blocks taken from the general heap (the first block
// holds 32 objects; each further block twice as many as the one before) and
// are handed out as boost::shared_ptr<T> handles whose deleter runs the
// destructor and returns the chunk to the pool that made it.  Blocks go back
// to the heap only when the pool is destroyed.  Taking and returning a chunk
// take constant time: the most recently returned chunk is handed out first.
//
// Thread safety: taking and returning chunks, and the two counts, are
// serialised by a mutex of the pool's own.  The mutex is not held while an
// object's destructor runs, because a destructor may drop the last handle of
// another object of the same pool (a release nested in a release).
//
// REQUIRES: every handle is dropped before its pool is destroyed.
#ifndef KTSM_KTFS_MEM_H_
#define KTSM_KTFS_MEM_H_

#include <algorithm>
#include <boost/pool/pool.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

namespace ktfs {
namespace ktfs_mem {

namespace detail {

// Chunks for objects of type T.  A boost::pool whose free list is kept in no
// particular order, so that returning a chunk takes constant time (an
// ordered list, as boost::object_pool keeps, makes returning n objects cost
// time in n squared).  Like boost::object_pool, it runs the destructor of
// every object still alive when it is destroyed.
template <class T, class UserAllocator>
class object_chunks : protected boost::pool<UserAllocator> {
  typedef boost::pool<UserAllocator> base;

 public:
  explicit object_chunks(typename base::size_type first_block)
      : base(sizeof(T), first_block, 0) {}
  ~object_chunks() { destroy_live(); }

  // Null when the heap cannot supply a new block.
  void* take() { return base::malloc(); }
  // REQUIRES: chunk came from take() and holds no object.
  void give_back(void* chunk) { base::free(chunk); }

 private:
  // Every chunk of every block that is not on the free list holds an object.
  void destroy_live() {
    std::vector<char*> free_chunks;
    for (void* c = this->first; c != nullptr; c = base::nextof(c)) {
      free_chunks.push_back(static_cast<char*>(c));
    }
    std::sort(free_chunks.begin(), free_chunks.end());
    const typename base::size_type step = this->alloc_size();
    for (auto block = this->list; block.valid(); block = block.next()) {
      for (char* c = block.begin(); c != block.end(); c += step) {
        if (!std::binary_search(free_chunks.begin(), free_chunks.end(), c)) {
          static_cast<T*>(static_cast<void*>(c))->~T();
        }
      }
    }
  }
};

}  // namespace detail

// UserAllocator is Boost.Pool's block allocator; the default takes blocks
// with the non-throwing form of new.  Tests put a counting one in.
template <class T, class UserAllocator = boost::default_user_allocator_new_delete>
class mempool {
 public:
  mempool() : m_pool(32), m_alloc_count(0), m_release_count(0) {}
  mempool(const mempool&) = delete;
  mempool& operator=(const mempool&) = delete;

  // A new default-constructed object in a shared handle.  Returns an empty
  // handle when the heap cannot supply a new block (no constructor runs and
  // dropping the handle does nothing).  Throws std::bad_alloc when the
  // handle's reference-count block cannot be had (the object is returned to
  // the pool first), and passes on an exception of T's constructor (the
  // chunk is returned first).
  boost::shared_ptr<T> make_shared() {
    void* chunk = nullptr;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      ++m_alloc_count;
      chunk = m_pool.take();
    }
    if (chunk == nullptr) return boost::shared_ptr<T>();
    T* object = nullptr;
    try {
      object = new (chunk) T();
    } catch (...) {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_pool.give_back(chunk);
      throw;
    }
    return boost::shared_ptr<T>(object, releaser(this));
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
    m_pool.give_back(p);
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
  // The handles' deleter: the pool alone (a bound member function would
  // make every handle's reference-count block larger).
  struct releaser {
    explicit releaser(mempool* pool) : m_owner(pool) {}
    void operator()(T* p) const { m_owner->destroy(p); }
    mempool* m_owner;
  };

  detail::object_chunks<T, UserAllocator> m_pool;
  uint64_t m_alloc_count;
  uint64_t m_release_count;
  mutable std::mutex m_mutex;
};

}  // namespace ktfs_mem
}  // namespace ktfs

#endif  // KTSM_KTFS_MEM_H_
