#include "alloc.h"

#include <stdlib.h>
#include <string.h>

static long allocsLeftBeforeFailure = -1;  // -1: no failure planned
static long allocsAsked;

void* allocMem(size_t size) {
    allocsAsked++;
    if (allocsLeftBeforeFailure == 0) {
        allocsLeftBeforeFailure = -1;
        return NULL;
    }
    if (allocsLeftBeforeFailure > 0) allocsLeftBeforeFailure--;
    return malloc(size);
}

void freeMem(void* block) { free(block); }

char* copyText(const char* text, size_t len) {
    char* copy = (char*)allocMem(len + 1);
    if (!copy) return NULL;
    memcpy(copy, text, len);
    copy[len] = 0;
    return copy;
}

bool growMem(void** block, size_t used, size_t* room, size_t need) {
    if (need <= *room) return true;
    size_t more = *room ? *room : 4096;
    while (more < need) more *= 2;
    void* bigger = allocMem(more);
    if (!bigger) return false;
    if (used) memcpy(bigger, *block, used);
    freeMem(*block);
    *block = bigger;
    *room = more;
    return true;
}

void failAllocationAfter(long n) {
    allocsLeftBeforeFailure = n;
    allocsAsked = 0;
}

long allocationCount() { return allocsAsked; }
