// Heap blocks for result buffers and working copies.
//
// Every block is 64-byte aligned (a full AVX-512 vector or cache line).
// Blocks below 4 MiB come from the C heap; larger ones are anonymous
// mappings aligned to 2 MiB and advised for transparent huge pages (one page
// fault per 2 MiB instead of one per 4 KiB, and a free zero fill). A few
// freed blocks of 64 KiB and more are kept for the next call of the same
// size, so repeated calls pay no page faults, and go back to the system once
// they have gone unused for about five seconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace kiln::mem {

// Allocates `bytes` zero-filled bytes; throws std::bad_alloc on failure.
// A request of 0 bytes returns a valid, unique, non-null block.
void* alloc_zeroed(std::size_t bytes);
// Allocates `bytes` bytes whose contents are unspecified, for a caller that
// writes every byte before anything reads it.
void* alloc_for_overwrite(std::size_t bytes);
// Releases a block from either allocator; `bytes` must be the requested size.
void release(void* ptr, std::size_t bytes) noexcept;

// One owned heap block: zero-filled, or with unspecified contents when made
// with ForOverwrite.
class Block {
public:
    Block() = default;
    explicit Block(std::size_t bytes) : ptr_(alloc_zeroed(bytes)), bytes_(bytes) {}
    struct ForOverwrite {};
    Block(std::size_t bytes, ForOverwrite) : ptr_(alloc_for_overwrite(bytes)), bytes_(bytes) {}
    Block(Block&& other) noexcept
        : ptr_(std::exchange(other.ptr_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    Block& operator=(Block&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block() { reset(); }

    void* get() const noexcept { return ptr_; }
    std::size_t bytes() const noexcept { return bytes_; }
    // Gives up ownership; the caller must hand the pointer to release().
    void* take() noexcept {
        bytes_ = 0;
        return std::exchange(ptr_, nullptr);
    }
    void reset() noexcept {
        if (ptr_) release(ptr_, bytes_);
        ptr_ = nullptr;
        bytes_ = 0;
    }

private:
    void* ptr_ = nullptr;
    std::size_t bytes_ = 0;
};

}  // namespace kiln::mem
