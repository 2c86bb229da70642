// AmplitudeBuffer: the memory of one state vector, with what it holds.
// A buffer comes from fresh pages (zero, not yet present), from a vector
// freed before (present, stale values) or from calloc (zero, present); one
// explicit step, make_ready, turns either into the all-zero basis state in
// present pages, split over a pool. Accessors do no work.
#pragma once

#include <cstddef>

#include "complex.hpp"

namespace vastrel::sim {

class ThreadPool;

// An amplitude buffer handed to a new owner, who frees it with free_buffer.
struct RawBuffer {
    Complex32* data;
    std::size_t length;
    std::size_t capacity;
};

class AmplitudeBuffer {
public:
    // length amplitudes, the all-zero basis state once ready. Throws
    // std::bad_alloc when the memory cannot be had.
    explicit AmplitudeBuffer(std::size_t length);
    AmplitudeBuffer() noexcept = default;
    ~AmplitudeBuffer();
    AmplitudeBuffer(AmplitudeBuffer&& other) noexcept;
    AmplitudeBuffer& operator=(AmplitudeBuffer&& other) noexcept;
    AmplitudeBuffer(const AmplitudeBuffer&) = delete;
    AmplitudeBuffer& operator=(const AmplitudeBuffer&) = delete;

    Complex32* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return length_; }
    bool ready() const noexcept { return state_ == State::Ready; }

    // Fresh pages are made present and a recycled buffer is zeroed, split
    // over the pool (null: on the calling thread); afterwards this does
    // nothing. Fresh pages touched on the calling thread instead would fault
    // one by one as a kernel first reads them.
    void make_ready(ThreadPool* pool);

    // Gives up the memory, ready, without copying; the buffer is left empty.
    RawBuffer release() noexcept;

private:
    enum class State : unsigned char { Ready, Fresh, Recycled };

    Complex32* data_ = nullptr;
    std::size_t length_ = 0;
    State state_ = State::Ready;
};

// Writes the all-zero basis state over data[0, length), whole pages a
// piece over the pool (null: on the calling thread), the last piece ending
// with the buffer wherever that falls in its page.
void write_zero_state(Complex32* data, std::size_t length, ThreadPool* pool);

// Frees a buffer obtained from release (same allocator).
void free_buffer(Complex32* data, std::size_t capacity) noexcept;

}  // namespace vastrel::sim
