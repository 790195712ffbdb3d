// One owner for each Windows resource the publisher check opens: a file
// handle, a certificate store, a message, a certificate context, a block of
// local memory.  Its policy names the resource's type, the one value no open
// resource has (INVALID_HANDLE_VALUE for CreateFileW, null for the others),
// and how it is closed:
//
//     struct FilePolicy {
//         static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
//         static void close(HANDLE file) noexcept { CloseHandle(file); }
//     };
//     using File = Unique<FilePolicy>;  // File(CreateFileW(...)) is right as it is
//
// reset() closes, release() hands over.  A close leaves the thread's last
// Windows error as it was, so that an owner let go between a failed call and
// the reading of its error does not change that error.  Windows' own headers
// stay out of this one, which publisher.h's users include too.
#pragma once

#include <type_traits>
#include <utility>

namespace updater::engine {

// GetLastError and SetLastError (publisher_windows.cpp).
unsigned long last_windows_error() noexcept;
void set_last_windows_error(unsigned long error) noexcept;

template <class Policy, class T = decltype(Policy::invalid())>
class Unique {
public:
    Unique() noexcept : value_(Policy::invalid()) {}
    explicit Unique(T value) noexcept : value_(value) {}
    Unique(Unique&& other) noexcept : value_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { reset(); }

    void reset(T value = Policy::invalid()) noexcept
    {
        T old = std::exchange(value_, value);
        if (old == Policy::invalid()) return;
        unsigned long error = last_windows_error();
        Policy::close(old);
        set_last_windows_error(error);
    }
    [[nodiscard]] T release() noexcept { return std::exchange(value_, Policy::invalid()); }
    T get() const noexcept { return value_; }
    T operator->() const noexcept
        requires(!std::is_void_v<std::remove_pointer_t<T>>)
    {
        return value_;
    }
    explicit operator bool() const noexcept { return value_ != Policy::invalid(); }

private:
    T value_;
};

}  // namespace updater::engine
