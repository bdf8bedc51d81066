// Record data of every type read for its content: expanded out of a message
// whose bytes are whatever the input says, then shown, normalised and read for
// signature times. Nothing may read outside the message or the output area,
// and the text of data that does not read as its type must still come out.
//
// Input: one byte choosing the type, one byte the offset of the data in the
// message, then the message; the data runs from that offset to the end.
#include <cstdint>
#include <span>
#include <string>

#include "dns/record_text.h"
#include "items/answer_conditions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace varnell;
    static constexpr std::uint16_t kTypes[] = {kTypeTxt, kTypeSrv, kTypeCaa, kTypeHttps,
                                               kTypeDnskey, kTypeDs, kTypeRrsig};
    if (size < 2 || size > 4096)
        return 0;
    const std::uint16_t type = kTypes[data[0] % 7];
    const std::span<const std::uint8_t> message(data + 2, size - 2);
    const std::size_t at = data[1] < message.size() ? data[1] : message.size();
    std::uint8_t out[2048];
    const std::size_t length = ExpandRecordData(type, message, at, message.size() - at, out);
    const std::span<const std::uint8_t> expanded(out, length);
    for (const auto bytes : {expanded, message.subspan(at)}) {
        const std::string text = RecordDataText(type, bytes);
        const std::string compared = NormalizeValue(type, RecordDataText(type, bytes, false));
        if (text.empty() || (length != 0 && compared.empty()))
            __builtin_trap();
        SignatureTimes times;
        ReadSignatureTimes(bytes, 1796727600, times);
        DnskeyKeyTag(bytes);
    }
    return 0;
}
