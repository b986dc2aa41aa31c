// One owner, one release: the wrapper every descriptor of the helper lives in.
// (The helper keeps its own copy; the deliverables share no source.)
#pragma once

#include <utility>

namespace zelk::helper {

template <class T, auto Release, T None = T{}>
class Owned {
public:
    Owned() = default;
    explicit Owned(T v) noexcept : v_(v) {}
    Owned(Owned&& o) noexcept : v_(std::exchange(o.v_, None)) {}
    Owned& operator=(Owned o) noexcept {
        std::swap(v_, o.v_);
        return *this;
    }
    Owned(const Owned&) = delete;
    ~Owned() {
        if (v_ != None) Release(v_);
    }
    T get() const noexcept { return v_; }
    explicit operator bool() const noexcept { return v_ != None; }
    void reset() noexcept { Owned().swap(*this); }

private:
    void swap(Owned& o) noexcept { std::swap(v_, o.v_); }
    T v_ = None;
};

}  // namespace zelk::helper
