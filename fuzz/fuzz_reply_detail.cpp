// Builds the reply detail text of a block whose reply data is whatever the input
// says: section counts and starts, answer count, records and the names area.
// The text must come out without reading outside the block, however the
// counts, offsets and texts disagree with each other.
//
// Input: nine 32-bit little-endian words (answer, authority, additional and
// external counts; answer, authority and additional starts; answer count;
// a record-type mixing word, whose top bit also picks IPv6 answers), then the
// record area (64 x 20 bytes), then the names area; missing bytes stay 0.
#include <cstdint>
#include <cstring>
#include <memory>

#include "items/reply_detail.h"

namespace {

using namespace varnell;

std::uint32_t Word(const std::uint8_t* data, std::size_t size, std::size_t index)
{
    std::uint32_t value = 0;
    for (std::size_t b = 0; b < 4; ++b) {
        const std::size_t at = index * 4 + b;
        if (at < size)
            value |= static_cast<std::uint32_t>(data[at]) << (8 * b);
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static ItemBlock* block = new ItemBlock();
    ResetItemBlock(*block);
    block->domain = "fuzz.example.test";
    block->answerRecords = Word(data, size, 0);
    block->authorityRecords = Word(data, size, 1);
    block->additionalRecords = Word(data, size, 2);
    block->externalRecords = Word(data, size, 3);
    block->answerStart = Word(data, size, 4);
    block->authorityStart = Word(data, size, 5);
    block->additionalStart = Word(data, size, 6);
    block->answerCount = Word(data, size, 7);
    const std::uint32_t mix = Word(data, size, 8);

    std::size_t at = 9 * 4;
    const std::size_t recordBytes = sizeof block->records;
    if (at < size) {
        const std::size_t n = size - at < recordBytes ? size - at : recordBytes;
        std::memcpy(block->records, data + at, n);
        at += n;
    }
    // Steer some records onto the types that have a line of their own.
    static constexpr std::uint16_t kTypes[] = {0x0100, 0x0500, 0x0F00, 0x0C00, 0x0200, 0x0600, 0x1C00};
    for (std::uint32_t i = 0; i < kReplyRecords; ++i)
        if ((mix >> (i % 32)) & 1u)
            block->records[i].typeBE = kTypes[(i + mix) % 7];
    if (at < size) {
        const std::size_t n = size - at < kNamesArea ? size - at : kNamesArea;
        std::memcpy(block->names, data + at, n);
    }
    // The top bit of the mixing word shows the answers as an AAAA item's.
    const std::string text = DetailPlainText(BuildReplyDetail(*block, false, (mix >> 31) != 0));
    return text.empty() ? 1 : 0;
}
