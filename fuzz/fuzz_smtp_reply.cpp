// The SMTP reply reader over a server that says anything: the input is the
// byte stream of the server side of a socket pair. Also reads the text as an
// EHLO reply's capabilities, and runs the Base64 and
// packing decoders over the same bytes and checks the packing round trip.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "mail/base64.h"
#include "mail/smtp_connection.h"

using namespace varnell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Stays below a socket pair's buffer, so the whole stream is written at once.
    if (size > 16384)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(pair[1], data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(pair[1], SHUT_WR);
    {
        CSMTPConnection c;
        c.replyTimeoutMs = 5;
        c.pollWaitMs = 1;
        if (c.AdoptConnectedSocket(pair[0])) {
            for (int i = 0; i < 64 && c.IsConnected(); ++i) {
                if (i % 2 == 0)
                    c.ReadCommandResponse(250);
                else
                    c.ReadResponseSkipping250(334);
                // Whatever the server sends, one reply's text stays bounded.
                if (c.GetLastCommandResponse().size() >
                    CSMTPConnection::kReplyBufferSize * (CSMTPConnection::kMaxReplyLines + 1))
                    std::abort();
            }
        } else {
            ::close(pair[0]);
        }
    }
    ::close(pair[1]);

    // The capabilities of an EHLO reply are read from any text the server sent.
    EhloOffers(text, "STARTTLS");
    EhloOffersAuth(text, "PLAIN");

    CMimeString(MimeDirection::kDecode, MimeAlgorithm::kBase64, text);
    const CMimeString packed(MimeDirection::kEncode, MimeAlgorithm::kPacking, text);
    if (CMimeString(MimeDirection::kDecode, MimeAlgorithm::kPacking, packed.Output()).Output() != text)
        std::abort();
    if (CMimeString(MimeDirection::kDecode, MimeAlgorithm::kBase64, Base64Encode(text)).Output() != text)
        std::abort();
    return 0;
}
