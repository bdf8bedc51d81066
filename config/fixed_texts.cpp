#include "config/fixed_texts.h"

#include <array>
#include <cstddef>
#include <string>

namespace varnell {

namespace {

constexpr std::array<unsigned char, 7> kKey = {0x5A, 0x13, 0xC7, 0x2E, 0x91, 0x68, 0x3D};

constexpr unsigned char Mask(std::size_t i) { return static_cast<unsigned char>(kKey[i % kKey.size()] ^ (i * 29u)); }

// Enciphered while compiling: only the masked bytes reach the binary.
template <std::size_t N>
struct Enciphered {
    std::array<unsigned char, N - 1> bytes{};
    consteval explicit Enciphered(const char (&plain)[N])
    {
        for (std::size_t i = 0; i + 1 < N; ++i)
            bytes[i] = static_cast<unsigned char>(static_cast<unsigned char>(plain[i]) ^ Mask(i));
    }
};

template <std::size_t N>
std::string Decipher(const Enciphered<N>& text)
{
    std::string out(N - 1, '\0');
    for (std::size_t i = 0; i + 1 < N; ++i)
        out[i] = static_cast<char>(text.bytes[i] ^ Mask(i));
    return out;
}

constexpr Enciphered kSettingsKey("Software\\Varnell");
constexpr Enciphered kAutoStartFolder("autostart");
constexpr Enciphered kAutoStartFile("varnell.desktop");
constexpr Enciphered kAppTitle("Varnell");

} // namespace

const char* FixedTextValue(FixedText which)
{
    // Deciphered once, by whichever thread asks first.
    static const std::array<std::string, static_cast<std::size_t>(FixedText::kCount)> texts = {
        Decipher(kSettingsKey), Decipher(kAutoStartFolder), Decipher(kAutoStartFile), Decipher(kAppTitle)};
    const auto i = static_cast<std::size_t>(which);
    return i < texts.size() ? texts[i].c_str() : "";
}

std::string ApplicationTitle() { return FixedTextValue(FixedText::kAppTitle); }

} // namespace varnell
