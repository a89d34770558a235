// Times the install folder's check after the extraction (benchmark only): checkbench PACKAGE FOLDER ROUNDS
// reads the package's table of contents, checks the folder against it ROUNDS times and prints one JSON
// line: the listed files, their bytes and the seconds of each round (0 exit: every round found it whole).
#include "install/contents.h"

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4)
        return 2;
    PayloadContents contents;
    if (!ReadPackageContents(argv[1], &contents))
        return 3;
    unsigned long long bytes = 0, files = 0;
    for (UINT32 i = 0; i < contents.count; ++i)
        if (!contents.entries[i].folder) {
            bytes += contents.entries[i].size;
            ++files;
        }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    int rounds = _wtoi(argv[3]), failed = 0;
    printf("{\"files\": %llu, \"bytes\": %llu, \"seconds\": [", files, bytes);
    for (int round = 0; round < rounds; ++round) {
        QueryPerformanceCounter(&start);
        failed += !CheckPayloadInstalled(argv[2], &contents);
        QueryPerformanceCounter(&end);
        printf("%s%.4f", round ? ", " : "", (double)(end.QuadPart - start.QuadPart) / frequency.QuadPart);
    }
    printf("]}\n");
    ReleasePackageContents(&contents);
    return failed ? 1 : 0;
}
