// Heap blocks of the engine and the front ends, in one place so that tests
// can make any one allocation of a run fail.
#pragma once

#include <stddef.h>

// malloc, unless a planned failure is due: then NULL.
void* allocMem(size_t size);
void freeMem(void* block);

// A copy of the first len characters of text, NUL-terminated, at exact size;
// the caller releases it with freeMem. NULL when out of memory.
char* copyText(const char* text, size_t len);

// Grows *block, of which used bytes are kept, to hold need bytes, doubling
// *room (from 4 KiB); false when out of memory, the block as it was.
bool growMem(void** block, size_t used, size_t* room, size_t need);

// For tests: failAllocationAfter(n) lets n more allocations succeed and fails
// the next one, and only that one; failAllocationAfter(-1) fails none.
// allocationCount() counts the allocations asked for since the last call of
// failAllocationAfter, the failed one included.
void failAllocationAfter(long n);
long allocationCount();
