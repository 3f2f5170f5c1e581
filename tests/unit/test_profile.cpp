// Our INI reader and writer against the shared case table (the Windows build
// runs the same table against the system's profile functions under Wine).
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/ini_cases.h"

TEST(Profile, SharedCaseTable) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("ambrel_ini_" + std::to_string(getpid()));
    fs::create_directories(dir);
    int failures = ini_cases::RunAll(dir.string() + "/", stderr);
    fs::remove_all(dir);
    EXPECT_EQ(failures, 0);
}
