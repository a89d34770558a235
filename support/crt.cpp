// The two compiler helpers the program needs without a C runtime. Written with string instructions so
// the compiler cannot turn them back into calls to themselves.
#include <stddef.h>

extern "C" void* memcpy(void* destination, const void* source, size_t size) {
    void* result = destination;
    __asm__ volatile("rep movsb" : "+D"(destination), "+S"(source), "+c"(size) : : "memory");
    return result;
}

extern "C" void* memset(void* destination, int value, size_t size) {
    void* result = destination;
    __asm__ volatile("rep stosb" : "+D"(destination), "+c"(size) : "a"(value) : "memory");
    return result;
}
