#pragma once
// Allocation failure on demand, for tests that check a routine leaves its state unchanged on
// std::bad_alloc. Replaces the global operator new: include it in exactly one file of a test
// program (each test file is its own program).
#include <atomic>
#include <cstdlib>
#include <new>

namespace zel::test {

inline std::atomic<bool> g_fail_alloc{false};
// The next allocation of this thread fails, once; other threads are not touched.
inline thread_local bool t_fail_next_alloc = false;

// Runs fn with every allocation failing; true when it raised std::bad_alloc. No test assertion
// runs while allocations fail (a failing one would itself need memory).
template <typename Fn>
bool FailsForLackOfMemory(Fn fn) {
    bool raised = false;
    g_fail_alloc = true;
    try {
        fn();
    } catch (const std::bad_alloc&) {
        raised = true;
    }
    g_fail_alloc = false;
    return raised;
}

}  // namespace zel::test

// malloc/free behind the replaced pair: GCC would flag free() on the result of operator new.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    if (zel::test::g_fail_alloc.load(std::memory_order_relaxed)) throw std::bad_alloc();
    if (zel::test::t_fail_next_alloc) {
        zel::test::t_fail_next_alloc = false;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// The array forms too: a sanitizer's run-time would otherwise serve them itself.
void* operator new[](std::size_t n) { return ::operator new(n); }
void operator delete[](void* p) noexcept { ::operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { ::operator delete(p); }
// And the nothrow forms (std::stable_sort's buffer): failing as the others do, freed as they are.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return ::operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { ::operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { ::operator delete(p); }
