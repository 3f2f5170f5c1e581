// Writes the fuzzer's input to `path` and opens it as a message file, as the
// relay opens the files it finds; nullptr when either step fails.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

inline MsgFile* OpenInputAsMessage(const char* path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path, "wb");
    if (!f) return nullptr;
    fwrite(data, 1, size, f);
    fclose(f);
    int err = 0;
    return MsgOpen(path, &err);
}
