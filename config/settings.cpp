#include "config/settings.h"

#include "base/byte_reader.h"

namespace varnell {

namespace {

const char* const kMessageTemplate =
    "<EVENT>\r\nEvent time is <DATE_TIME>\r\nHOSTNAME is <HOST_NAME>\r\nIP ADDR is <IP_ADDR>\r\n"
    "MAC ADDR is <MAC_ADDR>\r\nGROUP NAME is <GROUP_NAME>\r\nUSER NAME is <USER_NAME>";

void PutI32(GeneralSettings& g, std::size_t offset, std::int32_t v)
{
    StoreU32LE(g.block.data() + offset, static_cast<std::uint32_t>(v));
}
void PutI16(GeneralSettings& g, std::size_t offset, std::int16_t v)
{
    StoreU16LE(g.block.data() + offset, static_cast<std::uint16_t>(v));
}

} // namespace

std::uint32_t GeneralSettings::Flags() const { return LoadU32LE(block.data() + 40); }
void GeneralSettings::SetFlags(std::uint32_t flags) { StoreU32LE(block.data() + 40, flags); }
std::int32_t GeneralSettings::RepeatSeconds() const { return static_cast<std::int32_t>(LoadU32LE(block.data() + 44)); }
void GeneralSettings::SetRepeatSeconds(std::int32_t seconds)
{
    StoreU32LE(block.data() + 44, static_cast<std::uint32_t>(seconds));
}

Settings& CurrentSettings()
{
    static Settings* settings = new Settings(DefaultSettings(0));
    return *settings;
}

Settings DefaultSettings(std::uint32_t localAddressBE)
{
    Settings s;
    GeneralSettings& g = s.general;
    g.block.fill(0);
    PutI32(g, 0, 10);
    g.SetFlags(kDefaultGeneralFlags);
    g.SetRepeatSeconds(100);
    PutI16(g, 56, 22);
    PutI16(g, 68, 5);
    PutI16(g, 72, 23);
    PutI16(g, 86, 31);
    PutI16(g, 88, 13);
    PutI16(g, 98, 11);
    PutI16(g, 102, 31);
    PutI16(g, 104, 23);
    g.texts[kTextLogPath] = "varnell.log";
    g.texts[kTextMsgTest] = "This is a test message";
    // The test-server texts are unused; they stay empty.

    s.messenger.retryTimes = 1;
    s.messenger.receivers = {localAddressBE};
    s.messenger.messageTemplate = kMessageTemplate;

    s.mail.fromName = "Varnell Administrators";
    s.mail.testSubject = "send a test Email";
    s.mail.subjectTemplate = "<EVENT>";
    s.mail.bodyTemplate = kMessageTemplate;

    s.record4.ints = {0};
    s.record5.ints = {0x3F, 0};
    s.record5.texts = {"<EVENT>",
                       "<DATE_TIME>\r\nHOSTNAME is <HOST_NAME>\r\nIP ADDR is <IP_ADDR>\r\nMAC ADDR is <MAC_ADDR>\r\n"
                       "GROUP NAME is <GROUP_NAME>"};
    s.record6.ints = {0};
    s.record6.texts = {"varnell.log", "<EVENT>;<IP_ADDR>;<HOST_NAME>"};
    static const std::int32_t kRecord7Values[8] = {7000, 6500, 6000, 5500, 5000, 4500, 4000, 3500};
    for (int i = 0; i < 8; ++i) {
        StoreU32LE(s.record7.block.data() + i * 12, static_cast<std::uint32_t>(kRecord7Values[i]));
        StoreU32LE(s.record7.block.data() + i * 12 + 4, 2);
    }
    StoreU32LE(s.record7.block.data() + 96, 0x3F);
    StoreU32LE(s.record7.block.data() + 100, 6);

    s.syslog.messageTemplate = "PEER is <IP_ADDR>/<HOST_NAME> <EVENT>";
    s.syslog.testMessage = "This is a syslog test message";
    return s;
}

} // namespace varnell
