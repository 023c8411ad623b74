#pragma once

// A std::unique_ptr deleter that hands the pointer to a C library's own
// free or unref function: std::unique_ptr<pw_stream, Freer<pw_stream_destroy>>.

namespace vemo {

template <auto Free>
struct Freer {
    template <class T>
    void operator()(T* p) const {
        Free(p);
    }
};

}  // namespace vemo
