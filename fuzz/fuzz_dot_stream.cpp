// The DNS-over-TLS stream reader over a server that sends anything: the input
// is the decrypted byte stream, fed in pieces whose sizes the input's first
// bytes choose, as TLS records would cut it. Every message given out is then
// matched against a query as the connection does.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "transport/reply_check.h"
#include "transport/stream_frames.h"

using namespace varnell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2 || size > 200000)
        return 0;
    // "www.test A" with identifier 0x0102.
    static const std::uint8_t kQuery[] = {1, 2, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'w', 'w', 'w', 4,
                                          't', 'e', 's', 't', 0, 0, 1, 0, 1};
    const std::size_t piece = (std::size_t{data[0]} << 8 | data[1]) % 4096 + 1;
    const std::span<const std::uint8_t> stream(data + 2, size - 2);
    StreamFrames frames;
    std::vector<std::uint8_t> message;
    std::size_t given = 0;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        frames.Append(stream.subspan(at, std::min(piece, stream.size() - at)));
        for (;;) {
            const FrameRead read = frames.Next(message);
            if (read == FrameRead::kInvalid)
                return 0;
            if (read == FrameRead::kNeedMore)
                break;
            if (message.size() < kMinStreamMessage)
                std::abort();
            given += message.size() + 2;
            (void)IsAnswerTo(kQuery, message);
        }
    }
    // Nothing is lost or made up: what was not given out is still pending.
    if (given + frames.Pending() != stream.size())
        std::abort();
    return 0;
}
