// What keeps the plug-in loadable by hosts whose C and C++ runtimes are older
// than the toolchain's (down to glibc 2.17 and the libstdc++ of GCC 4.8 or
// GCC 5, see scripts/check-load-compat.py).  A newer toolchain's headers
// refer to a few runtime symbols that those hosts lack; each definition here
// stands in for one of them inside the plug-in, hidden from the host, and
// behaves exactly as the runtime's own.
#include <stdexcept>
#include <string>

// libstdc++'s shared_ptr reference counting (__gnu_cxx::__is_single_threaded)
// reads glibc's __libc_single_threaded (GLIBC_2.32) when
// <sys/single_threaded.h> exists, and then updates the counts without atomic
// instructions while the process has one thread.  The plug-in is built with
// that name replaced by this hidden flag (-D__libc_single_threaded=... in
// cmake/DeltanhntLoadCompat.cmake), which is never set: the counts are always
// updated atomically, as on a glibc without the flag, which is correct in
// every process; only a single-threaded process pays for the atomics.
#if !defined(__libc_single_threaded)
#error "the plug-in must be compiled with __libc_single_threaded renamed"
#endif
extern "C" {
// The name the header's declaration takes after the rename.
__attribute__((visibility("hidden"))) char deltanhnt_libc_single_threaded = 0;
}

#if defined(_GLIBCXX_USE_CXX11_ABI) && !_GLIBCXX_USE_CXX11_ABI
// With the old std::string ABI the baseline is GCC 4.8's libstdc++
// (GLIBCXX_3.4.19), which constructs these exceptions from a std::string
// only; the constructors from a C string came with GCC 5 (GLIBCXX_3.4.21).
// The plug-in throws std::out_of_range with a message literal, and Boost's
// date-time code throws std::runtime_error so.  Both stand-ins build the
// same message through the std::string constructor, as the runtime's own
// does.  The version script keeps them out of the plug-in's exports.
namespace std
{
out_of_range::out_of_range(const char* what) : out_of_range(string(what)) {}
runtime_error::runtime_error(const char* what) : runtime_error(string(what)) {}
} // namespace std
#endif
