// Runs the shared round trips of the configuration writer against the
// system's profile functions. Started under Wine by the Windows tests with a
// scratch folder as argument.
#include <cstdio>
#include <string>

#include "tests/writer_cases.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: writer_check SCRATCH-FOLDER\n");
        return 2;
    }
    char full[400];
    if (!MakeFullPath(argv[1], full, sizeof full)) {
        fprintf(stderr, "writer_check: folder path too long\n");
        return 2;
    }
    std::string dir = full;
    if (dir.empty() || dir.back() != kDirSep) dir += kDirSep;
    SockStartup();  // the older layout's loader resolves its relay host
    int failures = writer_cases::RunAll(dir, stdout);
    SockCleanup();
    return failures == 0 ? 0 : 1;
}
