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
int failNext = 0;

Block* NewBlock() {
    if (failNext > 0) {
        failNext--;
        return nullptr;
    }
    Block* b = static_cast<Block*>(malloc(kPoolBlockSize));
    if (!b) return nullptr;
    b->next = nullptr;
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
int PoolBlockCount() {
    // Walks the chain from the first block: the chain is what keeps every
    // copy alive, and the only owner of the blocks.
    int n = 0;
    for (const Block* b = firstBlock; b; b = b->next) n++;
    return n;
}
void PoolFailNextBlocks(int n) { failNext = n; }
