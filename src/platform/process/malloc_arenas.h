// How many heaps the C library's allocator keeps for the threads of the process.
#pragma once

namespace kov {

// At most `arenas` allocator heaps from now on. glibc gives every new thread that allocates a heap
// of its own, up to eight per core, and each heap keeps the memory its thread freed for later use by
// that heap alone; a command that starts many short-lived worker threads (one per measured frame)
// then holds far more memory than it uses at any moment. Must be called before those threads start.
// Returns false when the allocator refuses the setting.
bool limitMallocArenas(int arenas);

}  // namespace kov
