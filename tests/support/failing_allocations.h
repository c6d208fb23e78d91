// Forced out-of-memory for tests: replaces the program's global operator
// new and delete. Include it in exactly one source file of a test program.
// Only the thread that asks for it fails; other threads allocate as usual.
#pragma once

#include <cstdlib>
#include <new>

// Every allocation of this thread fails while set.
inline thread_local bool allocationsFail = false;
// Only the next allocation of this thread fails (the flag clears itself).
inline thread_local bool nextAllocationFails = false;

void *operator new(std::size_t size)
{
    if (nextAllocationFails) {
        nextAllocationFails = false;
        throw std::bad_alloc();
    }
    if (allocationsFail)
        throw std::bad_alloc();
    if (void *block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}
// The replaced new takes its blocks from malloc, so free is the matching
// release; GCC, inlining these into a caller of new, takes free for a
// mismatch when it sees only the expression new (sanitizer builds).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop
