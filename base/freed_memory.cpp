#include "base/freed_memory.h"

#include <malloc.h>

namespace varnell {

void ReturnFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

} // namespace varnell
