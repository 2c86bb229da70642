// AmplitudeBuffer: allocation, the one step that makes a buffer ready, and
// hand-over.
#include "amplitude_buffer.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "amplitude_memory.hpp"
#include "thread_pool.hpp"

namespace vastrel::sim {

namespace {

constexpr std::size_t kPerPage = 4096 / sizeof(Complex32);

}  // namespace

AmplitudeBuffer::AmplitudeBuffer(std::size_t length) : length_(length) {
    // The buffer of a vector freed before, whose pages are present: zeroed
    // over the pool when made ready.
    data_ = take_recycled_amplitudes(length);
    if (data_ != nullptr) {
        state_ = State::Recycled;
        return;
    }
    // Fresh zero pages, so there is no serial zeroing pass.
    data_ = allocate_amplitudes(length);
    state_ = maps_fresh_pages(length) ? State::Fresh : State::Ready;
    data_[0] = Complex32{1.0f, 0.0f};
}

AmplitudeBuffer::~AmplitudeBuffer() { free_amplitudes(data_, length_); }

AmplitudeBuffer::AmplitudeBuffer(AmplitudeBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      state_(std::exchange(other.state_, State::Ready)) {}

AmplitudeBuffer& AmplitudeBuffer::operator=(AmplitudeBuffer&& other) noexcept {
    if (this != &other) {
        free_amplitudes(data_, length_);
        data_ = std::exchange(other.data_, nullptr);
        length_ = std::exchange(other.length_, 0);
        state_ = std::exchange(other.state_, State::Ready);
    }
    return *this;
}

namespace {

// Calls f(begin, end) on pieces of whole pages of [0, length) over the pool.
template <class F>
void by_pages(std::size_t length, ThreadPool* pool, const F& f) {
    const auto pages = [&](std::size_t first, std::size_t last) {
        f(first * kPerPage, std::min(last * kPerPage, length));
    };
    const std::size_t num_pages = (length + kPerPage - 1) / kPerPage;
    if (pool == nullptr || pool->num_threads() == 1) {
        pages(0, num_pages);
    } else {
        pool->parallel_for(num_pages, pages);
    }
}

}  // namespace

void write_zero_state(Complex32* data, std::size_t length, ThreadPool* pool) {
    by_pages(length, pool, [data](std::size_t begin, std::size_t end) {
        std::memset(static_cast<void*>(data + begin), 0, (end - begin) * sizeof(Complex32));
    });
    data[0] = Complex32{1.0f, 0.0f};
}

void AmplitudeBuffer::make_ready(ThreadPool* pool) {
    if (state_ == State::Recycled) {
        write_zero_state(data_, length_, pool);
    } else if (state_ == State::Fresh && pool != nullptr) {
        Complex32* data = data_;
        by_pages(length_, pool, [data](std::size_t begin, std::size_t end) { prefault_amplitudes(data, begin, end); });
    } else if (state_ == State::Fresh) {
        return;  // zero already; pages fault in as they are first touched
    }
    state_ = State::Ready;
}

RawBuffer AmplitudeBuffer::release() noexcept {
    if (state_ == State::Recycled) {
        write_zero_state(data_, length_, nullptr);
    }
    const RawBuffer raw{data_, length_, length_};
    data_ = nullptr;
    length_ = 0;
    state_ = State::Ready;
    return raw;
}

void free_buffer(Complex32* data, std::size_t capacity) noexcept { free_amplitudes(data, capacity); }

}  // namespace vastrel::sim
