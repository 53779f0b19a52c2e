#include "mc_core/buffer.hpp"

#include <array>
#include <mutex>
#include <new>
#include <string>

#include "mc_core/error.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace mc_core::detail {

namespace {

[[noreturn]] void allocation_failure(std::uint64_t count, const char* what) {
    throw AllocationFailure(std::string("cannot allocate ") + what + ": " + std::to_string(count) + " values");
}

#if defined(__linux__)
// Mappings given back recently, kept for the next buffer of the same size: a
// pricing called again (a benchmark, a sweep, replicates, a grid) then finds
// its pages already faulted in and cleared once, instead of paying the
// kernel's page clearing on every call (tens of milliseconds for the default
// American put's 52 MB on some machines). A few slots, exact sizes only, and
// at most kMaxRetainedBytes held in all; contents are unspecified anyway.
class RetainedMappings {
public:
    void* take(std::size_t bytes) {
        std::lock_guard lock(mutex_);
        for (Slot& slot : slots_) {
            if (slot.data != nullptr && slot.bytes == bytes) {
                held_ -= bytes;
                return std::exchange(slot.data, nullptr);
            }
        }
        return nullptr;
    }
    // False when the mapping is not kept: the caller unmaps it.
    bool keep(void* data, std::size_t bytes) {
        std::lock_guard lock(mutex_);
        if (bytes > kMaxRetainedBytes - held_) return false;
        for (Slot& slot : slots_) {
            if (slot.data == nullptr) {
                slot = {data, bytes};
                held_ += bytes;
                return true;
            }
        }
        return false;
    }

private:
    static constexpr std::size_t kMaxRetainedBytes = std::size_t{512} << 20;
    struct Slot {
        void* data = nullptr;
        std::size_t bytes = 0;
    };
    std::mutex mutex_;
    std::array<Slot, 4> slots_{};
    std::size_t held_ = 0;
};

// Never destroyed: buffers may be released during static destruction.
RetainedMappings& retained_mappings() {
    static RetainedMappings* const mappings = new RetainedMappings;
    return *mappings;
}
#endif

}  // namespace

BufferBytes allocate_buffer_bytes(std::uint64_t count, std::size_t element_size, const char* what) {
    if (count == 0) return {};
    std::uint64_t bytes64;
    if (__builtin_mul_overflow(count, static_cast<std::uint64_t>(element_size), &bytes64) ||
        bytes64 > static_cast<std::uint64_t>(SIZE_MAX) - 2 * kHugePageBytes)
        allocation_failure(count, what);
    const std::size_t bytes = static_cast<std::size_t>(bytes64);

    if (bytes < kHugePageBytes) {
        void* p = ::operator new(bytes, std::align_val_t{kBufferAlignment}, std::nothrow);
        if (p == nullptr) allocation_failure(count, what);
        return {p, bytes, false};
    }

    const std::size_t rounded = (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
#if defined(__linux__)
    if (void* kept = retained_mappings().take(rounded)) return {kept, rounded, true};
    // mmap promises only page alignment: map one huge page more and give back
    // the misaligned head and the unused tail. The pages stay untouched (and
    // unaccounted) until the kernel that fills them writes them.
    const std::size_t span = rounded + kHugePageBytes;
    void* mapping = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) allocation_failure(count, what);
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapping);
    const std::uintptr_t aligned = (start + kHugePageBytes - 1) & ~static_cast<std::uintptr_t>(kHugePageBytes - 1);
    const std::size_t head = aligned - start;
    const std::size_t tail = span - head - rounded;
    if (head != 0) ::munmap(mapping, head);
    if (tail != 0) ::munmap(reinterpret_cast<void*>(aligned + rounded), tail);
    void* p = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
    (void)::madvise(p, rounded, MADV_HUGEPAGE);  // a hint: refused, the pages are ordinary ones
#endif
    return {p, rounded, true};
#else
    void* p = ::operator new(rounded, std::align_val_t{kHugePageBytes}, std::nothrow);
    if (p == nullptr) allocation_failure(count, what);
    return {p, rounded, false};
#endif
}

void release_buffer_bytes(const BufferBytes& bytes) noexcept {
    if (bytes.data == nullptr) return;
#if defined(__linux__)
    if (bytes.mapped) {
        if (!retained_mappings().keep(bytes.data, bytes.reserved)) ::munmap(bytes.data, bytes.reserved);
        return;
    }
#endif
    ::operator delete(bytes.data, bytes.reserved < kHugePageBytes ? std::align_val_t{kBufferAlignment}
                                                                  : std::align_val_t{kHugePageBytes});
}

}  // namespace mc_core::detail
