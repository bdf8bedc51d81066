#include "base/freed_memory.h"

#include <malloc.h>

namespace varnell {

void ReturnFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

void KeepLargeBlocksMapped()
{
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, kLargeBlock);
#endif
}

} // namespace varnell
