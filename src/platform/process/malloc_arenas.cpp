#include "platform/process/malloc_arenas.h"

#include <malloc.h>

namespace kov {

bool limitMallocArenas(int arenas) { return arenas > 0 && mallopt(M_ARENA_MAX, arenas) == 1; }

}  // namespace kov
