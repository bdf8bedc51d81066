// Base64 (RFC 4648 section 4) and the packing codec.
#include "mail/base64.h"

#include <cstring>

namespace varnell {

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof(kBase64Alphabet) == 65);

std::uint8_t Byte(unsigned v) { return static_cast<std::uint8_t>(v & 0xFFu); }
char Char(unsigned v) { return static_cast<char>(v & 0xFFu); }

} // namespace

// Packing: each byte keeps its upper six bits in its own character (shifted up
// one place, bit 0 set); the low two bits of up to three bytes are gathered in
// one extra character after the group.
std::string CMimeAlgo::Encode(std::span<const std::uint8_t> input) const
{
    const std::size_t n = input.size();
    std::string out;
    out.reserve(4 * (n / 3) + n % 3 + (n % 3 != 0 ? 1 : 0));
    for (std::size_t i = 0; i < n; i += 3) {
        const std::size_t have = n - i < 3 ? n - i : 3;
        unsigned low = 1;
        for (std::size_t k = 0; k < have; ++k) {
            const unsigned b = input[i + k];
            out.push_back(Char(((b >> 2) << 1) | 1u));
            low |= (b & 3u) << (5 - 2 * k);
        }
        out.push_back(Char(low));
    }
    return out;
}

std::vector<std::uint8_t> CMimeAlgo::Decode(std::string_view input) const
{
    const std::size_t n = input.size();
    std::vector<std::uint8_t> out;
    out.reserve(3 * (n / 4) + n % 4);
    for (std::size_t i = 0; i < n; i += 4) {
        const std::size_t chars = n - i < 4 ? n - i : 4;
        // A lone trailing character would be an extra character without data.
        if (chars < 2)
            break;
        const std::size_t have = chars - 1;
        const unsigned low = static_cast<unsigned char>(input[i + have]);
        for (std::size_t k = 0; k < have; ++k) {
            const unsigned c = static_cast<unsigned char>(input[i + k]);
            out.push_back(Byte(((c >> 1) << 2) | ((low >> (5 - 2 * k)) & 3u)));
        }
    }
    return out;
}

CBase64Algo::CBase64Algo()
{
    std::memcpy(alphabet_, kBase64Alphabet, sizeof(alphabet_));
    std::memset(reverse_, 0, sizeof(reverse_));
    for (unsigned i = 0; i < 64; ++i)
        reverse_[static_cast<unsigned char>(alphabet_[i])] = Byte(i);
}

std::string CBase64Algo::Encode(std::span<const std::uint8_t> input) const
{
    const std::size_t n = input.size();
    std::string out;
    out.reserve(4 * (n / 3) + (n % 3 != 0 ? 4 : 0));
    std::size_t i = 0;
    for (; n - i >= 3; i += 3) {
        const unsigned b0 = input[i], b1 = input[i + 1], b2 = input[i + 2];
        out.push_back(alphabet_[b0 >> 2]);
        out.push_back(alphabet_[((b0 & 3u) << 4) | (b1 >> 4)]);
        out.push_back(alphabet_[((b1 & 15u) << 2) | (b2 >> 6)]);
        out.push_back(alphabet_[b2 & 63u]);
    }
    if (i < n) {
        const unsigned b0 = input[i];
        const unsigned b1 = n - i > 1 ? input[i + 1] : 0u;
        out.push_back(alphabet_[b0 >> 2]);
        out.push_back(alphabet_[((b0 & 3u) << 4) | (b1 >> 4)]);
        out.push_back(n - i > 1 ? alphabet_[(b1 & 15u) << 2] : '=');
        out.push_back('=');
    }
    return out;
}

std::vector<std::uint8_t> CBase64Algo::Decode(std::string_view input) const
{
    const std::size_t groups = input.size() / 4;
    std::vector<std::uint8_t> out;
    out.reserve(3 * groups);
    for (std::size_t g = 0; g < groups; ++g) {
        unsigned v = 0;
        for (std::size_t k = 0; k < 4; ++k)
            v = (v << 6) | reverse_[static_cast<unsigned char>(input[4 * g + k])];
        out.push_back(Byte(v >> 16));
        out.push_back(Byte(v >> 8));
        out.push_back(Byte(v));
    }
    // Padding is counted inside the decoded groups and at most two characters
    // deep, so text such as "====" cannot shrink the output below zero.
    std::size_t pad = 0;
    const std::size_t used = 4 * groups;
    while (pad < 2 && pad < used && input[used - 1 - pad] == '=')
        ++pad;
    out.resize(out.size() - pad);
    return out;
}

CMimeString::CMimeString(int direction, int algorithm, std::string_view input)
{
    if (direction != 0 && direction != 1)
        return;
    if (algorithm == static_cast<int>(MimeAlgorithm::kPacking))
        codec_ = std::make_unique<CMimeAlgo>();
    else if (algorithm == static_cast<int>(MimeAlgorithm::kBase64))
        codec_ = std::make_unique<CBase64Algo>();
    else
        return;
    if (direction == static_cast<int>(MimeDirection::kEncode)) {
        output_ = codec_->Encode(std::span(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()));
    } else {
        const std::vector<std::uint8_t> bytes = codec_->Decode(input);
        output_.assign(bytes.begin(), bytes.end());
    }
}

std::string Base64Encode(std::string_view text)
{
    return CMimeString(MimeDirection::kEncode, MimeAlgorithm::kBase64, text).Output();
}

} // namespace varnell
