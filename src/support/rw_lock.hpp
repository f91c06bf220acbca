#pragma once
// A reader-writer lock in one 32-bit word. Uncontended acquire and release
// are one atomic operation each; a thread that must wait parks on the word
// (futex via std::atomic::wait) until a releasing thread wakes it. Readers
// never wait for a merely waiting writer, only for one that holds the lock.

#include <atomic>
#include <cstdint>

namespace veldra {

class RwLock {
public:
    RwLock() noexcept = default;
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    void lock_shared() noexcept {
        acquire([](std::uint32_t s) { return (s & kWriter) == 0; }, kReader);
    }

    void unlock_shared() noexcept {
        std::uint32_t s = word_.fetch_sub(kReader, std::memory_order_release) - kReader;
        // Last reader out with someone parked: only writers park while readers hold it.
        if (s == kParked && word_.compare_exchange_strong(s, 0, std::memory_order_relaxed)) {
            word_.notify_all();
        }
    }

    void lock() noexcept {
        // Free but for parked threads: s is 0 or kParked, so adding sets the bit.
        acquire([](std::uint32_t s) { return (s & ~kParked) == 0; }, kWriter);
    }

    void unlock() noexcept {
        if (word_.exchange(0, std::memory_order_release) & kParked) word_.notify_all();
    }

private:
    static constexpr std::uint32_t kWriter = 1;
    static constexpr std::uint32_t kParked = 2;
    static constexpr std::uint32_t kReader = 4;

    // Adds `add` to the word once `can_take(word)` holds, parking meanwhile.
    template <class CanTake>
    void acquire(CanTake can_take, std::uint32_t add) noexcept {
        std::uint32_t s = word_.load(std::memory_order_relaxed);
        for (;;) {
            if (can_take(s)) {
                if (word_.compare_exchange_weak(s, s + add, std::memory_order_acquire, std::memory_order_relaxed)) {
                    return;
                }
                continue;
            }
            park(s);
            s = word_.load(std::memory_order_relaxed);
        }
    }

    // Records that a thread waits, then sleeps until the word changes.
    void park(std::uint32_t s) noexcept {
        if ((s & kParked) == 0 &&
            !word_.compare_exchange_strong(s, s | kParked, std::memory_order_relaxed)) {
            return;  // the word moved on; the caller re-reads it
        }
        word_.wait(s | kParked, std::memory_order_relaxed);
    }

    // bit 0: a writer holds the lock; bit 1: some thread is parked;
    // bits 2..31: number of readers holding it.
    std::atomic<std::uint32_t> word_{0};
};

// Scoped holders for the two modes.
class SharedGuard {
public:
    SharedGuard() noexcept : lock_(nullptr) {}
    explicit SharedGuard(RwLock& lock) noexcept : lock_(&lock) { lock_->lock_shared(); }
    ~SharedGuard() { if (lock_) lock_->unlock_shared(); }
    SharedGuard(SharedGuard&& other) noexcept : lock_(other.lock_) { other.lock_ = nullptr; }
    SharedGuard& operator=(SharedGuard&& other) noexcept {
        if (this != &other) {
            if (lock_) lock_->unlock_shared();
            lock_ = other.lock_;
            other.lock_ = nullptr;
        }
        return *this;
    }

private:
    RwLock* lock_;
};

class ExclusiveGuard {
public:
    explicit ExclusiveGuard(RwLock& lock) noexcept : lock_(lock) { lock_.lock(); }
    ~ExclusiveGuard() { lock_.unlock(); }
    ExclusiveGuard(const ExclusiveGuard&) = delete;
    ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

private:
    RwLock& lock_;
};

}  // namespace veldra
