// ktfs::ktfs_mem::mempool<T>: the pool from which the library's records are
// allocated.
//
// Objects live packed in blocks taken from the general heap (the first block
// holds 32 objects; each further block twice as many as the one before) and
// are handed out as boost::shared_ptr<T> handles whose deleter runs the
// destructor and returns the chunk to the pool that made it.  Blocks go back
// to the heap only when the pool is destroyed.  The free chunks are kept in
// address order (Boost's ordered release), so a release walks every free
// chunk at a lower address: releasing many records costs time in their
// number squared (tens of seconds for 100,000; see BENCHMARKS.md).
//
// Thread safety: taking and returning chunks, and the two counts, are
// serialised by a mutex of the pool's own.  The mutex is not held while an
// object's destructor runs, because a destructor may drop the last handle of
// another object of the same pool (a release nested in a release).
//
// REQUIRES: every handle is dropped before its pool is destroyed.
#ifndef KTSM_KTFS_MEM_H_
#define KTSM_KTFS_MEM_H_

#include <boost/bind/bind.hpp>
#include <boost/pool/object_pool.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <mutex>

namespace ktfs {
namespace ktfs_mem {

// UserAllocator is Boost.Pool's block allocator; the default takes blocks
// with the non-throwing form of new.  Tests put a counting one in.
template <class T, class UserAllocator = boost::default_user_allocator_new_delete>
class mempool {
 public:
  mempool() : m_pool(32, 0), m_alloc_count(0), m_release_count(0) {}
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
    m_pool.free(p);
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
  boost::object_pool<T, UserAllocator> m_pool;
  uint64_t m_alloc_count;
  uint64_t m_release_count;
  mutable std::mutex m_mutex;
};

}  // namespace ktfs_mem
}  // namespace ktfs

#endif  // KTSM_KTFS_MEM_H_
