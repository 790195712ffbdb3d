/* A stand-in for BrivexLauncher.exe in the Windows workflow's frozen run
 * (tools/windows/frozen_run.py): a real program, which the update can start,
 * that records its start in launcher-started.txt beside itself and ends. */
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    static const char marker[] = "launcher-started.txt";
    char path[4096];
    const char *slash;
    size_t dir;
    FILE *out;

    if (argc < 1) return 2;
    slash = strrchr(argv[0], '\\');
    dir = slash ? (size_t)(slash - argv[0]) + 1 : 0;
    if (dir + sizeof marker > sizeof path) return 2;
    memcpy(path, argv[0], dir);
    memcpy(path + dir, marker, sizeof marker);
    out = fopen(path, "a");
    if (!out) return 1;
    fprintf(out, "2.0.0 started as %s\n", argv[0]);
    return fclose(out) == 0 ? 0 : 1;
}
