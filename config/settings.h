// The settings records: process-wide, edited by the Setup pages on the
// user-interface thread, read by the dispatch when an event is handled (alert
// requests carry copies, so the workers never read these). Loaded once at
// start-up and saved whole (config/settings_store.h).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace varnell {

inline constexpr std::size_t kGeneralBlockSize = 4474;
inline constexpr std::size_t kMaxSyslogServers = 88;

// General flags word (general block offset 40).
enum GeneralFlags : std::uint32_t {
    kGenStartService = 0x1u,
    kGenExecute = 0x2u,
    kGenMail = 0x4u,
    kGenPopup = 0x8u,
    kGenNetMessage = 0x10u,
    kGenSound = 0x20u,
    kGenLog = 0x40u,
    kGenSyslog = 0x80u,
    kGenRepeat = 0x100u,
    kGenBeep = 0x200u,          // 1 = Beep, 0 = Play Sound
    kGenFacilityMask = 0x7C00u, // bits 10-14
    kGenSeverityMask = 0x38000u // bits 15-17
};
inline constexpr unsigned kGenFacilityShift = 10;
inline constexpr unsigned kGenSeverityShift = 15;
inline constexpr std::uint32_t kDefaultGeneralFlags = 0x34A7Fu;

// Texts of the general record, in stored order.
enum GeneralText : int {
    kTextExecPath = 0, kTextLogPath, kTextSenderName, kTextMsgTest, kTextSoundPath,
    kTextReserved6, kTextReserved7, kTextTestServer, kTextTestUser, kTextTestPassword,
    kTextTestRemotePath, kTextReserved12, kTextReserved13, kGeneralTextCount
};

struct GeneralSettings {
    std::array<std::uint8_t, kGeneralBlockSize> block{}; // reserved fields carried as stored
    std::array<std::string, kGeneralTextCount> texts;

    std::uint32_t Flags() const;
    void SetFlags(std::uint32_t flags);
    std::int32_t RepeatSeconds() const;        // block offset 44: the "Seconds" value
    void SetRepeatSeconds(std::int32_t seconds);
    std::uint32_t Facility() const { return (Flags() & kGenFacilityMask) >> kGenFacilityShift; }
    std::uint32_t Severity() const { return (Flags() & kGenSeverityMask) >> kGenSeverityShift; }
};

struct MessengerSettings {
    std::int32_t retryTimes = 1;
    std::vector<std::uint32_t> receivers; // IPv4, network byte order
    std::string messageTemplate;
};

enum MailFlags : std::uint32_t { kMailHighPriority = 0x1u, kMailNeedLogon = 0x2u };

struct MailSettings {
    std::int32_t reserved0 = 3;
    std::uint32_t flags = 0xFC;
    std::int32_t reserved2 = 3600;
    std::int32_t port = 25;
    std::string server, fromAddress, fromName, user, password, testSubject, subjectTemplate, bodyTemplate;
    std::vector<std::string> receivers;
};

// Record types 4 to 7: not used by the system, carried from load to save.
struct ReservedRecord {
    std::vector<std::int32_t> ints; // type 5 starts with its flags word (as int32)
    std::int32_t trailingCount = 1;
    std::array<std::string, 2> texts;
};
struct ReservedRecord7 {
    std::array<std::uint8_t, 104> block{};
    std::array<std::string, 8> texts;
};

struct SyslogSettings {
    std::vector<std::uint32_t> servers; // IPv4, network byte order; at most 88
    std::string messageTemplate;
    std::string testMessage;
};

// Settings added after the blob's format was fixed. Each is a value of its own
// beside the blob's pieces (same key, type 3), written in the blob's
// transaction; a store without one loads with the default below, so the blob
// keeps its bytes and older stores keep working.
enum MailSecurity : std::uint32_t { kMailPlain = 0, kMailStartTls = 1, kMailImplicitTls = 2 };
inline constexpr std::uint32_t kDefaultQueryEdns = 1232;

struct ExtraSettings {
    std::uint32_t mailSecurity = kMailPlain; // "MailSecurity", 4 bytes LE
    std::string mailCaFile;                  // "MailCaFile", UTF-8; empty = system trust store
    std::string metricsListen;               // "MetricsListen", "ADDRESS:PORT"; empty = off
    std::string metricsWebConfig;            // "MetricsWebConfig", UTF-8 path; empty = plain HTTP, no logon
    std::uint32_t alertNotification = 0;     // "AlertNotification", 4 bytes LE; 1 = desktop notification
    std::uint32_t queryEdns = kDefaultQueryEdns; // "QueryEdns", 4 bytes LE; advertised UDP size, 0 = no OPT
    std::string dnsCaFile;                   // "DnsCaFile", UTF-8; CAs of DoT/DoH servers, empty = system trust store
};

struct Settings {
    GeneralSettings general;
    MessengerSettings messenger;
    MailSettings mail;
    ReservedRecord record4, record5, record6;
    ReservedRecord7 record7;
    SyslogSettings syslog;
    ExtraSettings extra; // not part of the blob
};

// The process-wide records.
Settings& CurrentSettings();
// Built-in defaults; the messenger list holds localAddressBE as its one receiver.
Settings DefaultSettings(std::uint32_t localAddressBE);

} // namespace varnell
