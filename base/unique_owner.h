#pragma once

// Portable on purpose: the publisher's tool on Linux owns its OpenSSL objects
// with the same template.

#include <utility>

// One move-only owner per kind of OS handle, named after its close function.
// Declaring owners in acquisition order makes C++ release them in reverse
// order on every return path, early ones included.
template <typename Handle, typename Closer, Handle Invalid> class UniqueHandle
{
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Invalid; }
    Handle* put()
    {
        reset();
        return &handle_;
    }
    Handle release() { return std::exchange(handle_, Invalid); }
    void reset(Handle handle = Invalid)
    {
        const Handle old = std::exchange(handle_, handle);
        if (old != Invalid) {
            Closer::Close(old);
        }
    }

private:
    Handle handle_ = Invalid;
};
