// fuzz_support.h - what the fuzz harnesses and their replay tests share:
// the input reader, the check macro and a bookkeeping allocator that can be
// told to fail.
//
// The harness bodies live in headers next to this one and are compiled
// twice: into the libFuzzer binaries, and into the unit tests that replay
// the seed corpora and the saved crash inputs. A failed check aborts in the
// fuzzer (so libFuzzer keeps the input) and throws in the tests (so the
// test reports it and the suite goes on).
#ifndef TARVOCOIL_FUZZ_FUZZ_SUPPORT_H
#define TARVOCOIL_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "base/allocator.h"

#if defined(__SANITIZE_ADDRESS__)
#define TRV_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRV_FUZZ_ASAN 1
#endif
#endif
#if defined(TRV_FUZZ_ASAN)
#include <sanitizer/asan_interface.h>
#define TRV_FUZZ_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define TRV_FUZZ_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define TRV_FUZZ_POISON(p, n) ((void)(p), (void)(n))
#define TRV_FUZZ_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace trvfuzz {

// ---------------------------------------------------------------------------
// Checks

using FailHandler = void (*)(const char* file, int line, const char* what);

[[noreturn]] inline void abortOnFailure(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

// The handler must not return: it aborts or throws.
inline FailHandler& failHandler() {
    static FailHandler handler = &abortOnFailure;
    return handler;
}

[[noreturn]] inline void fail(const char* file, int line, const char* what) {
    failHandler()(file, line, what);
    std::abort();
}

#define TRV_FUZZ_CHECK(cond)                                              \
    do {                                                                  \
        if (!(cond)) ::trvfuzz::fail(__FILE__, __LINE__, #cond);          \
    } while (0)

// ---------------------------------------------------------------------------
// Input

// Reads the input front to back. Past its end every read gives 0, so every
// byte string decodes to something and a shorter input is a prefix of a
// longer one's behaviour.
class Reader {
public:
    Reader(const uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    bool empty() const { return p_ >= end_; }
    std::size_t remaining() const { return empty() ? 0 : static_cast<std::size_t>(end_ - p_); }

    uint8_t u8() { return empty() ? 0 : *p_++; }
    uint16_t u16() {
        const uint16_t lo = u8();
        return static_cast<uint16_t>(lo | (u8() << 8));
    }
    uint32_t u32() {
        const uint32_t lo = u16();
        return lo | (static_cast<uint32_t>(u16()) << 16);
    }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    float f32() {
        const uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    // A value in 0..n-1 (n > 0), from one byte when n fits in one.
    uint32_t below(uint32_t n) { return n <= 256 ? u8() % n : (n <= 65536 ? u16() % n : u32() % n); }
    // One of the listed values.
    template <typename T, std::size_t N>
    T pick(const T (&values)[N]) {
        return values[below(static_cast<uint32_t>(N))];
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// ---------------------------------------------------------------------------
// Allocation bookkeeping and injected failures

// One large block kept from input to input. The grey table (2 MiB) is made
// anew on every init; fresh pages for it cost more than building it. The
// kept block stays poisoned while nobody holds it, so AddressSanitizer
// still reports any use of a released table.
class BigBlockCache {
public:
    static constexpr std::size_t kMinBytes = std::size_t{1} << 20;

    static void* take(std::size_t bytes) {
        Slot& s = slot();
        if (!s.block || s.bytes != bytes) return nullptr;
        void* block = s.block;
        s.block = nullptr;
        TRV_FUZZ_UNPOISON(block, bytes);
        return block;
    }
    // True when the block was kept (the caller must not free it).
    static bool keep(void* block, std::size_t bytes) {
        Slot& s = slot();
        if (bytes < kMinBytes || s.block) return false;
        TRV_FUZZ_POISON(block, bytes);
        s.block = block;
        s.bytes = bytes;
        return true;
    }

private:
    struct Slot {
        void* block = nullptr;
        std::size_t bytes = 0;
        ~Slot() {
            if (!block) return;
            TRV_FUZZ_UNPOISON(block, bytes);
            std::free(block);
        }
    };
    static Slot& slot() {
        static Slot s;
        return s;
    }
};

// Counts every block the library holds and refuses allocations on demand.
// Blocks come from malloc with their exact size, so AddressSanitizer still
// sees the library's own bounds.
class AllocBook {
public:
    AllocBook() = default;
    AllocBook(const AllocBook&) = delete;
    AllocBook& operator=(const AllocBook&) = delete;

    tarvocoil::Allocator allocator() {
        tarvocoil::Allocator a;
        a.allocate = &AllocBook::get;
        a.release = &AllocBook::put;
        a.user = this;
        return a;
    }

    // Failure plans; they combine.
    void failNth(uint64_t n) { failAt_ = calls_ + n; }  // the n-th next call (0: the next one)
    void failAll(bool on) { failAll_ = on; }
    void failAbove(std::size_t bytes) { maxBytes_ = bytes; }
    void failNone() {
        failAt_ = UINT64_MAX;
        failAll_ = false;
        maxBytes_ = SIZE_MAX;
    }

    std::size_t liveBlocks() const { return blocks_.size(); }
    std::size_t liveBytes() const { return liveBytes_; }
    std::size_t peakBytes() const { return peakBytes_; }
    uint64_t refused() const { return refused_; }
    uint64_t calls() const { return calls_; }
    // A block released that was never handed out (or twice).
    bool badRelease() const { return badRelease_; }

private:
    static void* get(void* user, std::size_t bytes) {
        auto* self = static_cast<AllocBook*>(user);
        const uint64_t call = self->calls_++;
        if (self->failAll_ || call == self->failAt_ || bytes > self->maxBytes_) {
            self->refused_ += 1;
            return nullptr;
        }
        void* block = BigBlockCache::take(bytes);
        if (!block) block = std::malloc(bytes ? bytes : 1);
        if (!block) {
            self->refused_ += 1;
            return nullptr;
        }
        self->blocks_[block] = bytes;
        self->liveBytes_ += bytes;
        if (self->liveBytes_ > self->peakBytes_) self->peakBytes_ = self->liveBytes_;
        return block;
    }
    static void put(void* user, void* block) {
        auto* self = static_cast<AllocBook*>(user);
        auto it = self->blocks_.find(block);
        if (it == self->blocks_.end()) {
            self->badRelease_ = true;
            return;  // never free what we did not hand out
        }
        const std::size_t bytes = it->second;
        self->liveBytes_ -= bytes;
        self->blocks_.erase(it);
        if (!BigBlockCache::keep(block, bytes)) std::free(block);
    }

    std::unordered_map<void*, std::size_t> blocks_;
    std::size_t liveBytes_ = 0;
    std::size_t peakBytes_ = 0;
    uint64_t calls_ = 0;
    uint64_t refused_ = 0;
    uint64_t failAt_ = UINT64_MAX;
    bool failAll_ = false;
    std::size_t maxBytes_ = SIZE_MAX;
    bool badRelease_ = false;
};

// A small deterministic generator for frame content.
struct Mix {
    uint64_t s;
    explicit Mix(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<uint32_t>(s >> 16);
    }
};

}  // namespace trvfuzz

#endif
