// Owners of C library handles: std::unique_ptr with the library's release
// function as its deleter, one alias per handle type, e.g.
//   using XarPtr = base::Handle<std::remove_pointer_t<xar_t>, xar_close>;
#pragma once

#include <memory>

namespace base {

template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* handle) const {
        if (handle != nullptr) {
            Free(handle);
        }
    }
};

template <class T, auto Free>
using Handle = std::unique_ptr<T, Deleter<Free>>;

}  // namespace base
