// A DNS-over-HTTPS response as a server might send it: the input's first line
// is the status and content type ("200 application/dns-message"), the rest the
// body. The check must give a code of its own for every kind of wrong answer
// and never take a body that does not answer the query.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "transport/reply_check.h"
#include "transport/transport.h"

using namespace varnell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 70000)
        return 0;
    static const std::uint8_t kQuery[] = {0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'w', 'w', 'w', 4,
                                          't', 'e', 's', 't', 0, 0, 1, 0, 1};
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto newline = text.find('\n');
    const std::string_view head = text.substr(0, newline);
    const std::span<const std::uint8_t> body =
        newline == std::string_view::npos ? std::span<const std::uint8_t>() : std::span(data + newline + 1, size - newline - 1);
    long status = 0;
    std::size_t i = 0;
    for (; i < head.size() && i < 4 && head[i] >= '0' && head[i] <= '9'; ++i)
        status = status * 10 + (head[i] - '0');
    const std::string_view type = head.substr(std::min(i + 1, head.size()));
    std::string failure;
    const int code = CheckHttpsReply(status, type, body, kQuery, failure);
    if (code == 0 && (status != 200 || !IsDnsMessageType(type) || !IsAnswerTo(kQuery, body)))
        std::abort();
    if (code != 0 && (failure.empty() || TransportResultText(code).empty()))
        std::abort();
    return 0;
}
