#include "config/extra_settings.h"

#include "base/byte_reader.h"

namespace varnell {

namespace {

enum class Kind { kU32, kText };

struct ExtraField {
    const char* name;
    Kind kind;
    std::uint32_t ExtraSettings::*number;
    std::string ExtraSettings::*text;
};

constexpr ExtraField kExtraFields[] = {
    {"MailSecurity", Kind::kU32, &ExtraSettings::mailSecurity, nullptr},
    {"MailCaFile", Kind::kText, nullptr, &ExtraSettings::mailCaFile},
    {"MetricsListen", Kind::kText, nullptr, &ExtraSettings::metricsListen},
    {"AlertNotification", Kind::kU32, &ExtraSettings::alertNotification, nullptr},
    {"QueryEdns", Kind::kU32, &ExtraSettings::queryEdns, nullptr},
    {"DnsCaFile", Kind::kText, nullptr, &ExtraSettings::dnsCaFile},
    {"MetricsWebConfig", Kind::kText, nullptr, &ExtraSettings::metricsWebConfig},
};

} // namespace

std::vector<NamedValue> EncodeExtraSettings(const ExtraSettings& extra)
{
    std::vector<NamedValue> out;
    out.reserve(std::size(kExtraFields));
    for (const ExtraField& f : kExtraFields) {
        NamedValue v{f.name, {}};
        if (f.kind == Kind::kU32) {
            v.data.resize(4);
            StoreU32LE(v.data.data(), extra.*f.number);
        } else {
            const std::string& text = extra.*f.text;
            v.data.assign(text.begin(), text.end());
        }
        out.push_back(std::move(v));
    }
    return out;
}

bool ApplyExtraSetting(ExtraSettings& extra, std::string_view name, const std::uint8_t* data, std::size_t size)
{
    for (const ExtraField& f : kExtraFields) {
        if (name != f.name)
            continue;
        if (f.kind == Kind::kU32) {
            if (size != 4 || data == nullptr)
                return false;
            extra.*f.number = LoadU32LE(data);
        } else {
            if (size > kMaxExtraTextBytes || (data == nullptr && size != 0))
                return false;
            // Stored without a terminator; an embedded NUL ends the text.
            std::string text(reinterpret_cast<const char*>(data), size);
            text.resize(text.find('\0') == std::string::npos ? size : text.find('\0'));
            extra.*f.text = std::move(text);
        }
        return true;
    }
    return false;
}

} // namespace varnell
