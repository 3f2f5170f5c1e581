// Runs the shared INI case table against the system's profile functions.
// Started under Wine by the Windows tests with a scratch folder as argument.
#include <cstdio>
#include <string>

#include "tests/ini_cases.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: ini_check SCRATCH-FOLDER\n");
        return 2;
    }
    char full[400];
    if (!MakeFullPath(argv[1], full, sizeof full)) {
        fprintf(stderr, "ini_check: folder path too long\n");
        return 2;
    }
    std::string dir = full;
    if (dir.empty() || dir.back() != kDirSep) dir += kDirSep;
    return ini_cases::RunAll(dir, stdout) == 0 ? 0 : 1;
}
