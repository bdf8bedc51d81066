#include "ui/platform/qt_text.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "base/net/address_text.h"

namespace varnell {

std::string CutText(const QString& text, std::size_t maxBytes)
{
    std::string s = text.toStdString();
    if (s.size() <= maxBytes)
        return s;
    std::size_t end = maxBytes;
    // Back off over continuation bytes so the cut falls between characters.
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0u) == 0x80u)
        --end;
    s.resize(end);
    return s;
}

QString ToQt(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::uint32_t AddressFromText(const QString& text)
{
    return static_cast<std::uint32_t>(inet_addr(text.toLatin1().constData()));
}

QString AddressText(std::uint32_t addressBE)
{
    return QString::fromStdString(DottedAddress(addressBE));
}

} // namespace varnell
