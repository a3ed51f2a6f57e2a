#pragma once
// A single owning pointer whose copies move: handing it on (copy, pass by
// value, assignment) gives the object to the receiver and leaves the source
// empty. The parser hands a parsed document to the request operation this
// way, so exactly one holder deletes it.

#include <utility>

template <typename T>
class NorvaneAutoPtr {
public:
    explicit NorvaneAutoPtr(T* ptr = nullptr) noexcept : m_ptr(ptr) {}
    NorvaneAutoPtr(NorvaneAutoPtr& other) noexcept : m_ptr(other.release()) {}
    NorvaneAutoPtr(NorvaneAutoPtr&& other) noexcept : m_ptr(other.release()) {}
    ~NorvaneAutoPtr() { reset(); }

    NorvaneAutoPtr& operator=(NorvaneAutoPtr& other) noexcept {
        if (&other != this) reset(other.release());
        return *this;
    }
    NorvaneAutoPtr& operator=(NorvaneAutoPtr&& other) noexcept {
        if (&other != this) reset(other.release());
        return *this;
    }

    T* get() const noexcept { return m_ptr; }
    T* operator->() const noexcept { return m_ptr; }
    T& operator*() const noexcept { return *m_ptr; }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }

    // Gives the object up without deleting it; the holder is empty after.
    T* release() noexcept { return std::exchange(m_ptr, nullptr); }

    // Deletes the object held (if any) and holds `ptr` instead.
    void reset(T* ptr = nullptr) noexcept {
        T* old = std::exchange(m_ptr, ptr);
        delete old;
    }

private:
    T* m_ptr;
};
