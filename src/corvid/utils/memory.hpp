#pragma once
// Process-wide allocator settings and giving free memory back to the system.
// Owner: the process; configure_allocator() is called once from main before any other thread
// exists. Threads: give_back_later() may be called from any thread; the trim itself runs on a
// thread of its own, never on a loop thread.
// Guarantees: after a burst of large allocations ends, free pages go back to the system within
// about a second of quiet (while large allocations keep coming, their memory is reused).

namespace corvid::memory {

// Caps the allocator's arenas at max(2, loop_threads) and holds its mmap threshold fixed (see
// memory.cpp for why). MALLOC_ARENA_MAX and MALLOC_MMAP_THRESHOLD_ in the environment still
// decide when they are set.
void configure_allocator(int loop_threads);

// Asks for the allocator's free pages to go back to the system once a second has passed with
// no further request. Cheap: a burst of calls costs one trim.
void give_back_later();

}  // namespace corvid::memory
