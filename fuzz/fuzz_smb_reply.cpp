// SMB message replies as a hostile receiver could send them: the parser must
// reject or accept every input without reading outside it, and what it accepts
// must describe a reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "alerts/smb/netsend.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 4096) // the client never reads a longer reply
        return 0;
    varnell::SmbReply reply;
    if (varnell::ParseSmbReply(std::span<const std::uint8_t>(data, size), reply)) {
        // Header (32), word count (1): anything accepted holds at least those.
        if (size < 33)
            std::abort();
        if (reply.wordCount == 0 && reply.word0 != 0)
            std::abort();
    }
    return 0;
}
