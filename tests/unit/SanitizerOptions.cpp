// The module's operator new and delete serve the code of this executable,
// while the C++ runtime's own compiled code (std::string<char> and friends)
// keeps the runtime's: a block may be made by one and released by the other.
// Both end in the same malloc, so only AddressSanitizer's allocator-pairing
// check objects; it is turned off for this executable alone.
extern "C" const char *__asan_default_options();

extern "C" const char *__asan_default_options()
{
    return "alloc_dealloc_mismatch=0";
}
