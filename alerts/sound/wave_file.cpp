#include <cerrno>
#include <cstdio>
#include <cstring>

#include "alerts/sound/sound.h"
#include "base/byte_reader.h"

namespace varnell {

bool WriteWaveFile(const std::string& path, const WaveFormat& format, std::span<const std::uint8_t> data)
{
    // RIFF sizes are 32-bit; a longer recording cannot be stored in one file.
    if (data.size() > 0xFFFFFFFFu - 36) {
        errno = EFBIG;
        return false;
    }
    auto size = static_cast<std::uint32_t>(data.size());
    std::uint8_t head[44];
    std::memcpy(head, "RIFF", 4);
    StoreU32LE(head + 4, 36 + size + (size & 1));
    std::memcpy(head + 8, "WAVEfmt ", 8);
    StoreU32LE(head + 16, 16);
    StoreU16LE(head + 20, format.formatTag);
    StoreU16LE(head + 22, format.channels);
    StoreU32LE(head + 24, format.samplesPerSec);
    StoreU32LE(head + 28, format.avgBytesPerSec);
    StoreU16LE(head + 32, format.blockAlign);
    StoreU16LE(head + 34, format.bitsPerSample);
    std::memcpy(head + 36, "data", 4);
    StoreU32LE(head + 40, size);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(head, 1, sizeof head, f) == sizeof head &&
              (data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size());
    if (ok && (size & 1) != 0) // chunks are padded to an even length
        ok = std::fputc(0, f) == 0;
    int saved = errno;
    if (std::fclose(f) != 0)
        ok = false;
    else
        errno = saved;
    return ok;
}

} // namespace varnell
