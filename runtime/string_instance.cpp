// std::string, instantiated here without exception support. The library's
// own prebuilt instance is compiled with exceptions, and linking it drags in
// the unwinder and everything below it; this one is compiled like the rest
// of the program, and the linker keeps only the members that are called.
#include <string>

template class std::basic_string<char>;
