#pragma once
// A small owner of one platform handle, in the manner of WIL's unique_any:
// non-copyable, movable, closes what it holds exactly once.
//
// A handle kind is described by a traits type:
//   struct Traits {
//     using pointer = ...;                    // the raw handle type
//     static constexpr pointer invalid() noexcept;
//     static void close(pointer) noexcept;    // called only for valid handles
//   };

#include <utility>

template <class Traits>
class unique_any {
public:
    using pointer = typename Traits::pointer;

    constexpr unique_any() noexcept : h_(Traits::invalid()) {}
    explicit unique_any(pointer h) noexcept : h_(h) {}
    ~unique_any() { reset(); }

    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;

    unique_any(unique_any&& other) noexcept : h_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    pointer get() const noexcept { return h_; }
    bool is_valid() const noexcept { return h_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return is_valid(); }

    // Gives up ownership without closing.
    pointer release() noexcept {
        pointer h = h_;
        h_ = Traits::invalid();
        return h;
    }

    // Closes the current handle (if any), then owns h.
    void reset(pointer h = Traits::invalid()) noexcept {
        pointer old = h_;
        h_ = h;
        if (old != Traits::invalid()) Traits::close(old);
    }

    // For out-parameters: closes the current handle and hands out its slot.
    pointer* put() noexcept {
        reset();
        return &h_;
    }

private:
    pointer h_;
};
