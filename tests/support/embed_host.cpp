// An application embedding the interpreter: runs each argument as a program
// in a runtime of its own (Py_Initialize, the program, Py_FinalizeEx), one
// after the other in this process; exits 1 when one raised.  Its operator new
// is the whole process's, the module's too: after fail_next_new() (through
// ctypes) the next allocation throws std::bad_alloc.
#include <Python.h>

#include <cstdlib>
#include <new>

static bool fail_next = false;

extern "C" void fail_next_new() { fail_next = true; }

void* operator new(std::size_t size)
{
    void* p = fail_next ? nullptr : std::malloc(size ? size : 1);
    fail_next = false;
    if (!p) throw std::bad_alloc();
    return p;
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
