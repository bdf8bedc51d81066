// Content codecs of the mail client: Base64 (RFC 4648 section 4, RFC 2045
// section 6.8 alphabet and padding, never line-wrapped: the AUTH LOGIN exchange
// of RFC 4954 wants each credential on one line) and a small private packing
// codec. Nothing in the program decodes or packs today; both directions are
// kept because they are tiny and the round-trip tests keep the encoders honest.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnell {

// The base codec. Its own Encode/Decode are the packing codec: every output
// character is an odd value from 1 to 127, so packed text never holds a zero
// byte, a CR or a LF.
class CMimeAlgo {
public:
    CMimeAlgo() = default;
    CMimeAlgo(const CMimeAlgo&) = delete;
    CMimeAlgo& operator=(const CMimeAlgo&) = delete;
    virtual ~CMimeAlgo() = default;

    virtual std::string Encode(std::span<const std::uint8_t> input) const;
    // Any input is accepted: malformed text decodes to some bytes, never reads
    // outside the input.
    virtual std::vector<std::uint8_t> Decode(std::string_view input) const;
};

class CBase64Algo : public CMimeAlgo {
public:
    CBase64Algo();

    std::string Encode(std::span<const std::uint8_t> input) const override;
    // Groups of four characters; a trailing partial group is ignored and any
    // character outside the alphabet (padding included) counts as zero.
    std::vector<std::uint8_t> Decode(std::string_view input) const override;

private:
    char alphabet_[64];
    std::uint8_t reverse_[256]; // character -> 6-bit value; 0 for characters outside the alphabet
};

enum class MimeDirection : int { kEncode = 0, kDecode = 1 };
enum class MimeAlgorithm : int { kPacking = 0, kBase64 = 1 };

// Runs one codec over one string and keeps the result. An unknown direction or
// algorithm leaves the codec absent and the output empty.
class CMimeString {
public:
    CMimeString(int direction, int algorithm, std::string_view input);
    CMimeString(MimeDirection direction, MimeAlgorithm algorithm, std::string_view input)
        : CMimeString(static_cast<int>(direction), static_cast<int>(algorithm), input)
    {
    }

    const std::string& Output() const { return output_; }
    std::int32_t OutputLength() const { return static_cast<std::int32_t>(output_.size()); }
    bool HasCodec() const { return codec_ != nullptr; }

private:
    std::unique_ptr<CMimeAlgo> codec_;
    std::string output_;
};

// The Base64 text of a string, as the logon sends it.
std::string Base64Encode(std::string_view text);

} // namespace varnell
