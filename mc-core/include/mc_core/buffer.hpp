// Uninitialised, aligned storage for the large work arrays of a pricing call.
//
// Contract
//  * `Buffer<T>(count, what)` holds `count` elements of a trivially copyable T
//    whose contents are unspecified until written: the memory is never
//    cleared, so each page is first touched by the kernel that fills it, once.
//  * Alignment: 64 bytes (a cache line, a whole lane pack); from 2 MiB up,
//    2 MiB with the size rounded up to whole 2 MiB pages, and on Linux the
//    range is advised for transparent huge pages (a hint: a system without
//    them, or refusing it, still gives ordinary pages). A column-major price
//    array swept column after column then needs few TLB entries.
//  * Linux keeps a few released mappings (512 MiB at most in all) for the
//    next buffer of exactly their size, so a call repeated finds its pages
//    already faulted in: its contents are then whatever was left there.
//  * Failure: a byte size that overflows or memory that cannot be obtained is
//    an `AllocationFailure` "cannot allocate <what>: <count> values", the text
//    `allocate_vector` uses. Never aborts.
//  * Move-only; an empty or moved-from buffer owns nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace mc_core {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
inline constexpr std::size_t kBufferAlignment = 64;

namespace detail {

// The raw bytes behind a Buffer of `count` elements of `element_size` bytes,
// aligned as the contract says, and how to give them back.
struct BufferBytes {
    void* data = nullptr;
    std::size_t reserved = 0;  // padding included
    bool mapped = false;       // a memory mapping of its own, not the heap
};
BufferBytes allocate_buffer_bytes(std::uint64_t count, std::size_t element_size, const char* what);
void release_buffer_bytes(const BufferBytes& bytes) noexcept;

}  // namespace detail

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "a Buffer never constructs or destroys its elements");

public:
    Buffer() = default;
    Buffer(std::uint64_t count, const char* what)
        : bytes_(detail::allocate_buffer_bytes(count, sizeof(T), what)),
          data_(static_cast<T*>(bytes_.data)),
          size_(static_cast<std::size_t>(count)) {}

    Buffer(Buffer&& other) noexcept
        : bytes_(std::exchange(other.bytes_, {})),
          data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            detail::release_buffer_bytes(bytes_);
            bytes_ = std::exchange(other.bytes_, {});
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { detail::release_buffer_bytes(bytes_); }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Bytes reserved from the system, padding included (0 when empty), and
    // whether they are a mapping of their own (Linux, from 2 MiB up).
    std::size_t reserved_bytes() const { return bytes_.reserved; }
    bool mapped() const { return bytes_.mapped; }

    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

private:
    detail::BufferBytes bytes_;
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace mc_core
