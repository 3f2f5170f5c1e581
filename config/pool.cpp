// The string pool: mailbox texts live here for the life of the process, so a
// pointer taken from a row stays readable while a reload rewrites the row.
#include "config.h"

#include <cstdlib>
#include <cstring>

namespace {
struct Block {
    Block* next;
};
Block* firstBlock = nullptr;
Block* currentBlock = nullptr;
size_t usedInCurrent = 0;  // bytes used in the current block, link included
int blockCount = 0;
int failNext = 0;

Block* NewBlock() {
    if (failNext > 0) {
        failNext--;
        return nullptr;
    }
    Block* b = static_cast<Block*>(malloc(kPoolBlockSize));
    if (!b) return nullptr;
    b->next = nullptr;
    blockCount++;
    return b;
}
}  // namespace

const char* PoolCopy(const char* text) {
    size_t need = strlen(text) + 1;
    // A text that cannot fit into an empty block cannot be kept at all.
    if (need > kPoolBlockSize - sizeof(Block)) return nullptr;
    if (!currentBlock || usedInCurrent + need > kPoolBlockSize) {
        Block* b = NewBlock();
        if (!b) return nullptr;
        if (currentBlock) currentBlock->next = b;
        else firstBlock = b;
        currentBlock = b;
        usedInCurrent = sizeof(Block);
    }
    char* copy = reinterpret_cast<char*>(currentBlock) + usedInCurrent;
    memcpy(copy, text, need);
    usedInCurrent += need;
    return copy;
}

size_t PoolBytesUsedInCurrentBlock() { return currentBlock ? usedInCurrent : 0; }
int PoolBlockCount() { return blockCount; }
void PoolFailNextBlocks(int n) { failNext = n; }
