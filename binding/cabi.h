// What the C interface's files share (binding/entry.cpp defines it): the
// handle check and the calling thread's last error.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

struct dz_tester;

namespace dz {
class Tester;
}

namespace dz::cabi {

// Clears the calling thread's last error; the start of every dz_* call.
void clearError();
// Notes `description` as the thread's last error and returns `code`.
int fail(int code, std::string description);
// DZ_OK for a live Tester of the calling thread, else the code (error noted).
int checkHandle(dz_tester* handle);
Tester& of(dz_tester* handle);
// The code and description of the exception being handled (call in a catch block).
int caught();

// A text handed to the caller, released with dz_free (std::free).
struct Free {
    void operator()(char* p) const { std::free(p); }
};
using Owned = std::unique_ptr<char, Free>;
Owned copy(std::string_view text);  // throws std::bad_alloc

// Runs `body` (returning a DZ_* code) on a live Tester of the calling thread,
// turning every exception into a code and a description.
template <typename F>
int run(dz_tester* handle, F&& body) {
    clearError();
    try {
        if (int rc = checkHandle(handle)) return rc;
        return body(of(handle));
    } catch (...) {
        return caught();
    }
}

}  // namespace dz::cabi
