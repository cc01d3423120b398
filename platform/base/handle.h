// Owners of C library handles: std::unique_ptr with the library's release
// function as its deleter, one alias per handle type, e.g.
//   using ArchivePtr = base::Handle<const __xar_t, xar_close>;
// Every handle of a C library that code of this tree owns is held by one of
// these (descriptors by base::UniqueFd): a handle is released in one place,
// once, and never by hand.
#pragma once

#include <cstdlib>
#include <memory>

namespace base {

// Calls `Free` on a handle that is not null (some release functions, such as
// xar_close, do not accept null).
template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* handle) const noexcept {
        if (handle != nullptr) {
            Free(handle);
        }
    }
};

template <class T, auto Free>
using Handle = std::unique_ptr<T, Deleter<Free>>;

// Memory that a C library allocated with malloc and hands to the caller to
// free (a name, a decoded buffer).
inline void freeMalloced(void* memory) noexcept {
    std::free(memory);  // NOLINT(cppcoreguidelines-no-malloc): the library's malloc
}
template <class T>
using MallocPtr = Handle<T, freeMalloced>;

}  // namespace base
