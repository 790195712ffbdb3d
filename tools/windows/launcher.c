/* A stand-in for BrivexLauncher.exe in the tests on Windows: a real program
 * that an update can install and start.  What it does is written at the end
 * of its own file, behind the program and any padding (tests/support/launcher.py
 * writes it), so one build serves every test.  The file's last line is
 *
 *     #brivex-launcher<TAB>MARKER<TAB>TEXT
 *
 * in UTF-8.  Started, the program appends TEXT and a newline to the file
 * MARKER, each "%s" in TEXT replaced by the path it was started by (its
 * argv[0], as the shell's $0), each "%d" by its working directory and
 * each "%e" by its environment (the entries NAME=VALUE, joined by tabs), and
 * ends.  Built by tools/windows/build.py with
 * zig (-municode), or by MSVC in the Windows workflow. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#define TAG "#brivex-launcher\t"
#define TAIL 16384

static wchar_t *widen(const char *text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0);
    wchar_t *wide = n > 0 ? malloc(n * sizeof *wide) : NULL;
    if (wide && MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, n) != n) {
        free(wide);
        wide = NULL;
    }
    return wide;
}

static char *narrow(const wchar_t *wide)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, NULL, 0, NULL, NULL);
    char *text = n > 0 ? malloc(n) : NULL;
    if (text && WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, n, NULL, NULL) != n) {
        free(text);
        text = NULL;
    }
    return text;
}

/* The environment block's entries, joined by tabs, in UTF-8: NULL if none. */
static char *environment(void)
{
    wchar_t *block = GetEnvironmentStringsW(), *entry, *joined, *j;
    size_t length = 0;
    char *text;

    if (!block) return NULL;
    for (entry = block; *entry; entry += wcslen(entry) + 1) length += wcslen(entry) + 1;
    joined = j = malloc((length + 1) * sizeof *joined);
    for (entry = block; joined && *entry; entry += wcslen(entry) + 1) {
        if (j != joined) *j++ = L'\t';
        wcscpy(j, entry);
        j += wcslen(entry);
    }
    if (joined) *j = L'\0';
    FreeEnvironmentStringsW(block);
    text = joined ? narrow(joined) : NULL;
    free(joined);
    return text;
}

/* The last line of the program's own file, starting at its tag: NULL if none. */
static char *instructions(void)
{
    static char tail[TAIL + 1];
    wchar_t self[32768];
    DWORD length = GetModuleFileNameW(NULL, self, 32768);
    FILE *in;
    long size, start;
    size_t got, i, tag_length = strlen(TAG);
    char *found = NULL;

    if (length == 0 || length >= 32768) return NULL;
    in = _wfopen(self, L"rb");
    if (!in) return NULL;
    if (fseek(in, 0, SEEK_END) != 0 || (size = ftell(in)) < 0) {
        fclose(in);
        return NULL;
    }
    start = size > TAIL ? size - TAIL : 0;
    got = fseek(in, start, SEEK_SET) == 0 ? fread(tail, 1, (size_t)(size - start), in) : 0;
    fclose(in);
    tail[got] = '\0';
    for (i = 0; i + tag_length <= got; ++i) {
        if (memcmp(tail + i, TAG, tag_length) == 0) found = tail + i + tag_length;
    }
    return found;
}

int wmain(int argc, wchar_t **argv)
{
    char *line = instructions();
    char *text, *end, *started, *directory, *env, *out, *o;
    const char *t;
    wchar_t *marker, cwd[32768];
    size_t count = 0, longest;
    FILE *file;
    int ok;

    if (argc < 1 || !line) return 2;
    text = strchr(line, '\t');
    end = text ? strchr(text, '\n') : NULL;
    if (!text || !end) return 2;
    *text++ = '\0';
    *end = '\0';
    marker = widen(line);
    started = narrow(argv[0]);
    if (GetCurrentDirectoryW(32768, cwd) == 0) return 2;
    directory = narrow(cwd);
    env = environment();
    if (!marker || !started || !directory || !env) return 2;

    for (t = text; (t = strchr(t, '%')) != NULL; ++t) ++count;
    longest = strlen(started) > strlen(directory) ? strlen(started) : strlen(directory);
    longest = strlen(env) > longest ? strlen(env) : longest;
    out = malloc(strlen(text) + count * longest + 2);
    if (!out) return 2;
    for (o = out, t = text; *t; ) {
        const char *with = t[0] != '%' ? NULL : t[1] == 's' ? started : t[1] == 'd' ? directory
                         : t[1] == 'e' ? env : NULL;
        if (with) {
            memcpy(o, with, strlen(with));
            o += strlen(with);
            t += 2;
        } else {
            *o++ = *t++;
        }
    }
    *o++ = '\n';

    /* One write of the whole line: a reader never sees half of it. */
    file = _wfopen(marker, L"ab");
    if (!file) return 1;
    ok = fwrite(out, 1, (size_t)(o - out), file) == (size_t)(o - out);
    ok = fclose(file) == 0 && ok;
    return ok ? 0 : 1;
}
