/* A launcher the system cannot start, for the tests on Windows: the program
 * imports brivex_absent() from absent.dll, which tools/windows/build.py
 * builds only for its import library and never puts beside the program.
 * Started, it dies in the loader (STATUS_DLL_NOT_FOUND, 0xC0000135) before
 * its own code runs.  Built twice from this file: with ABSENT_DLL_ITSELF
 * defined as the DLL, without it as the program. */
#ifdef ABSENT_DLL_ITSELF
__declspec(dllexport) int brivex_absent(void)
{
    return 0;
}
#else
__declspec(dllimport) int brivex_absent(void);

int wmain(void)
{
    return brivex_absent();
}
#endif
