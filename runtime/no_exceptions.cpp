// The shipped programs are built without exception support: nothing in them
// throws or catches, and a failed allocation or a broken string invariant
// could only have ended in std::terminate. These definitions take the place
// of the C++ runtime's own, which would otherwise bring in the whole
// exception machinery (unwinder, personality routine, exception classes,
// the demangling terminate handler and the thread library under them) for
// a handful of calls that never return normally.
#include <cstdlib>
#include <new>

namespace std {

// The library's internal reporting points for broken preconditions.
void __throw_bad_alloc() { abort(); }
void __throw_bad_array_new_length() { abort(); }
void __throw_length_error(const char*) { abort(); }
void __throw_logic_error(const char*) { abort(); }
void __throw_out_of_range(const char*) { abort(); }
void __throw_out_of_range_fmt(const char*, ...) { abort(); }
void __throw_invalid_argument(const char*) { abort(); }

}  // namespace std

// The default terminate handler demangles the name of the exception's type;
// with no exceptions there is nothing to name.
namespace __gnu_cxx {
void __verbose_terminate_handler() { abort(); }
}  // namespace __gnu_cxx

extern "C" void __cxa_pure_virtual() { abort(); }

// Allocation: out of memory ends the program, as an uncaught bad_alloc did;
// the nothrow forms keep returning null for the callers that test it.
void* operator new(std::size_t size) {
  void* block = std::malloc(size ? size : 1);
  if (!block) abort();
  return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size ? size : 1);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
