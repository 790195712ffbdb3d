/* CPython 3.12's configuration as python.org's 64-bit Windows build has it,
 * reduced to what the public headers read, for tools/wincheck.py: the
 * module's sources are cross-compiled with mingw-w64 against the real 3.12
 * headers and this file instead of the Linux pyconfig.h.
 *
 * The facts come from CPython's own Windows configuration header,
 * PC/pyconfig.h of the 3.12 branch (the MSVC and "__GNUC__ && _WIN32"
 * sections), which is what an MSVC build of an extension module sees:
 *   - MS_WIN32, MS_WINDOWS always; MS_WIN64 when _WIN64; NT_THREADS;
 *   - the LLP64 type sizes of MS_WIN64 / MS_WIN32: long is 32 bits, while
 *     pointers and size_t are 64; wchar_t is 2 bytes;
 *   - Py_ENABLE_SHARED (the core lives in python312.dll) and
 *     HAVE_DECLSPEC_DLL, with which pyport.h declares every PyAPI_FUNC and
 *     PyAPI_DATA __declspec(dllimport) and PyMODINIT_FUNC
 *     __declspec(dllexport) for a module outside the core;
 *   - the headers that exist there (no unistd.h, no sys/time.h, no
 *     pthread.h; Python.h includes unistd.h only without MS_WINDOWS).
 * Nothing here is copied: entries the public headers never read are left
 * out.  Py_ssize_t: PC/pyconfig.h typedefs ssize_t as __int64 for MSVC;
 * leaving HAVE_SSIZE_T undefined makes pyport.h use intptr_t, which is the
 * same 64-bit long long under mingw-w64.
 */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN32) || !defined(_WIN64)
#error "this configuration is for 64-bit Windows compilers only"
#endif

#define MS_WIN32
#define MS_WINDOWS
#define MS_WIN64
#define NT_THREADS
#define WITH_THREAD

/* LLP64 */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
#define LONG_BIT 32
#define WORD_BIT 32

#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX
#define HAVE_LARGEFILE_SUPPORT
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

/* The core is a DLL: python312.dll. */
#define Py_ENABLE_SHARED 1
#define MS_COREDLL
#define HAVE_DECLSPEC_DLL

/* Headers and features of the Windows C runtime. */
#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_PROCESS_H 1
#define HAVE_IO_H
#define STDC_HEADERS 1

#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1
#define PLATFORM "win32"

#endif /* !Py_CONFIG_H */
