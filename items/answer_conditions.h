// What an item expects of its answer, beyond an answer at all: a set of values
// (equal to, contained in, absent from the answer), a pattern every record must
// match, the response code (a name that must not exist), and DNSSEC: the
// resolver's validation (the AD bit) and how long the signatures over the
// answer have left.
//
// Stored as extra texts of the item ("expect_mode=", "expect=", "expect_rcode=",
// "dnssec=", "sig_warn="), so a store of items without conditions saves as it
// always did. Values are kept one per line; a list too long for one text goes on
// in the next "expect=" texts, in order.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace re2 {
class RE2;
}

namespace varnell {

// Result codes of a probe whose answer came but fails its conditions; each has
// its text in the code table of result evaluation.
inline constexpr int kResultAnswerDiffers = 21;
inline constexpr int kResultRcodeDiffers = 22;
inline constexpr int kResultNotValidated = 23;
inline constexpr int kResultSignatureExpiring = 24;
inline constexpr int kResultSignatureNotYetValid = 25;
inline constexpr int kResultSignatureMissing = 26;
inline constexpr int kResultSignatureExpired = 27;

enum class ExpectMode : std::uint8_t { None, Equals, Contains, Excludes, Matches };
enum class ExpectRcode : std::uint8_t { Default, NoError, NxDomain };

struct AnswerConditions {
    ExpectMode mode = ExpectMode::None;
    std::vector<std::string> values; // as entered (a Matches pattern is the one value)
    ExpectRcode rcode = ExpectRcode::Default;
    bool validated = false;          // the reply must carry AD
    std::uint32_t sigWarnDays = 0;   // 0: signatures not read
    // Compiled once when the conditions are set; shared by copies.
    std::shared_ptr<const re2::RE2> pattern;

    bool Any() const { return mode != ExpectMode::None || rcode != ExpectRcode::Default || validated || sigWarnDays != 0; }
    // The query must carry the DO bit (RFC 3225).
    bool WantsDnssec() const { return validated || sigWarnDays != 0; }
};

inline constexpr std::string_view kExpectModePrefix = "expect_mode=";
inline constexpr std::string_view kExpectPrefix = "expect=";
inline constexpr std::string_view kExpectRcodePrefix = "expect_rcode=";
inline constexpr std::string_view kDnssecPrefix = "dnssec=";
inline constexpr std::string_view kSigWarnPrefix = "sig_warn=";
// Longest extra text the conditions write; longer value lists are continued.
inline constexpr std::size_t kConditionTextLimit = 1000;
inline constexpr std::uint32_t kMaxSigWarnDays = 3650;

// Field texts as the CSV, the command line and the dialog use them. Each
// parser returns "" and sets out, or says what is wrong.
const char* ExpectModeName(ExpectMode mode); // "", "equals", ...
const char* ExpectRcodeName(ExpectRcode rcode); // "", "NOERROR", "NXDOMAIN"
std::string ParseExpectMode(std::string_view text, ExpectMode& out);
std::string ParseExpectRcode(std::string_view text, ExpectRcode& out);
std::string ParseDnssec(std::string_view text, bool& validated);
std::string ParseSigWarnDays(std::string_view text, std::uint32_t& days);
// Values one per line (blank lines dropped, "\r\n" taken as a line end).
std::vector<std::string> SplitValues(std::string_view text);
std::string JoinValues(const std::vector<std::string>& values);

// The conditions as an operator enters them: the CSV columns expect_mode,
// expect (values one per line), expect_rcode, dnssec and sig_warn_days, the
// command line's key=value words of the same names, the dialog's fields.
struct ConditionFields {
    std::string mode, values, rcode, dnssec, sigWarnDays;
    bool operator==(const ConditionFields&) const = default;
};
// Reads fields into c (checked whole, pattern compiled); "" or why not.
std::string ReadConditionFields(const ConditionFields& fields, AnswerConditions& c);
ConditionFields FieldsOf(const AnswerConditions& c);

// Checks the whole: values for a mode and none without one, one pattern that
// RE2 compiles for Matches (compiled into out.pattern). "" when fine.
std::string CompleteConditions(AnswerConditions& c);

// The extra texts that carry c, in the order they are stored.
std::vector<std::string> ConditionTexts(const AnswerConditions& c);
// True for a text that belongs to the conditions (by its prefix).
bool IsConditionText(std::string_view text);
// Reads the conditions from an item's extra texts. "" when they read whole (or
// there are none); otherwise why not, and c is left without conditions.
std::string ReadConditionTexts(std::span<const std::string> texts, AnswerConditions& c);

// A value in the form answers are compared in: runs of white space one space,
// letters outside quotes in lower case (names, hexadecimal), one final "." of
// a word dropped, base64 and hexadecimal fields of DNSKEY, DS and RRSIG joined,
// IP addresses in their canonical text. type: the record type asked.
std::string NormalizeValue(std::uint16_t type, std::string_view value);

// The verdict on one answer. answer: the texts of the records (or addresses)
// of the answer set, already normalised. rcode: the reply's response code.
// Returns 0 when the answer meets the conditions, or the result code of the
// failure (kResultAnswerDiffers, kResultRcodeDiffers), with detail saying what
// differs ("expected 192.0.2.1; got 192.0.2.7"). DNSSEC is checked apart.
int CheckAnswer(const AnswerConditions& c, std::uint16_t type, int rcode, std::span<const std::string> answer,
                std::string& detail);

// The success rule of the response code alone: NOERROR unless NXDOMAIN is expected.
bool RcodeMeetsConditions(const AnswerConditions& c, int rcode);

// The signatures over an answer: each covering RRSIG's validity window.
struct SignatureWindow {
    std::int64_t inception;
    std::int64_t expiration;
};
// 0 when every signature is valid now and the earliest expiry is at least
// days away; otherwise the code (kResultSignatureExpiring, ...NotYetValid,
// ...Missing, ...Expired) with its detail ("signature expires 2026-12-10 12:00
// UTC"). earliest gets the earliest expiration (0 when none).
int CheckSignatures(std::span<const SignatureWindow> windows, std::uint32_t days, std::int64_t now,
                    std::string& detail, std::int64_t& earliest);

// Texts shortened past limit bytes end in "...".
std::string Shortened(std::string text, std::size_t limit = 400);

// A digest of an answer set, independent of the order of its texts: what the
// item keeps ("answer_digest=") to tell a changed set after a restart.
inline constexpr std::string_view kAnswerDigestPrefix = "answer_digest=";
std::string AnswerDigest(std::span<const std::string> normalizedTexts);

} // namespace varnell
