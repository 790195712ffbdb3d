// An application that embeds the interpreter, for the tests: it runs each of
// its arguments as a program in a runtime of its own, one after the other in
// this one process (Py_Initialize, the program, Py_FinalizeEx).  It exits 1
// when a program raised.
//
// Its operator new replaces the one of every C++ library the process loads
// (the module's too): after fail_next_new(), called through ctypes, the next
// allocation throws std::bad_alloc, as one would when memory runs out.
#include <Python.h>

#include <cstdlib>
#include <new>

namespace {
bool fail_next = false;
}

extern "C" void fail_next_new() { fail_next = true; }

void* operator new(std::size_t size)
{
    if (fail_next) {
        fail_next = false;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

int main(int argc, char** argv)
{
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        Py_Initialize();
        if (PyRun_SimpleString(argv[i]) < 0) status = 1;
        if (Py_FinalizeEx() < 0) status = 1;
    }
    return status;
}
