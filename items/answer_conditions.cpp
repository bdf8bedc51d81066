#include "items/answer_conditions.h"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <ctime>
#include <re2/re2.h>

#include "dns/dns_wire.h"
#include "dns/record_text.h"
#include "items/result_eval.h"

namespace varnell {

namespace {

constexpr const char* kModeNames[] = {"", "equals", "contains", "excludes", "matches"};
constexpr const char* kRcodeNames[] = {"", "NOERROR", "NXDOMAIN"};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return out;
}

// Words of a value: quoted strings kept whole with their quotes and escapes.
std::vector<std::string> Words(std::string_view value)
{
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quoted) {
            word += c;
            if (c == '\\' && i + 1 < value.size())
                word += value[++i];
            else if (c == '"')
                quoted = false;
        } else if (IsSpace(c)) {
            if (!word.empty())
                words.push_back(std::move(word));
            word.clear();
        } else {
            quoted = c == '"';
            word += quoted ? c : (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
        }
    }
    if (!word.empty())
        words.push_back(std::move(word));
    for (std::string& w : words)
        if (w.size() > 1 && w.back() == '.' && w.front() != '"')
            w.pop_back();
    return words;
}

std::string RcodeName(int rcode)
{
    static constexpr const char* kNames[] = {"NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED"};
    return rcode >= 0 && rcode < 6 ? kNames[rcode] : "RCODE " + std::to_string(rcode);
}

std::string ListText(std::span<const std::string> texts)
{
    if (texts.empty())
        return "no records";
    std::string out;
    for (const std::string& t : texts)
        out += (out.empty() ? "" : "; ") + t;
    return out;
}

// A set of texts as compared: sorted, each once.
std::vector<std::string> SortedSet(std::vector<std::string> texts)
{
    std::sort(texts.begin(), texts.end());
    texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
    return texts;
}

std::string UtcText(std::int64_t seconds) { return UtcTimeText(seconds, "%Y-%m-%d %H:%M UTC"); }

} // namespace

const char* ExpectModeName(ExpectMode mode) { return kModeNames[static_cast<int>(mode)]; }
const char* ExpectRcodeName(ExpectRcode rcode) { return kRcodeNames[static_cast<int>(rcode)]; }

std::string ParseExpectMode(std::string_view text, ExpectMode& out)
{
    const std::string t = Lower(Trim(text));
    for (int m = 0; m < 5; ++m) {
        if (t == kModeNames[m]) {
            out = static_cast<ExpectMode>(m);
            return {};
        }
    }
    return "expect_mode must be empty, equals, contains, excludes or matches";
}

std::string ParseExpectRcode(std::string_view text, ExpectRcode& out)
{
    const std::string t = Lower(Trim(text));
    if (t.empty())
        out = ExpectRcode::Default;
    else if (t == "noerror")
        out = ExpectRcode::NoError;
    else if (t == "nxdomain")
        out = ExpectRcode::NxDomain;
    else
        return "expect_rcode must be empty, NOERROR or NXDOMAIN";
    return {};
}

std::string ParseDnssec(std::string_view text, bool& validated)
{
    const std::string t = Lower(Trim(text));
    if (!t.empty() && t != "validated")
        return "dnssec must be empty or validated";
    validated = !t.empty();
    return {};
}

std::string ParseSigWarnDays(std::string_view text, std::uint32_t& days)
{
    text = Trim(text);
    if (text.empty()) {
        days = 0;
        return {};
    }
    std::uint32_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n == 0 || n > kMaxSigWarnDays)
        return "sig_warn_days must be empty or a whole number of days from 1 to " + std::to_string(kMaxSigWarnDays);
    days = n;
    return {};
}

std::vector<std::string> SplitValues(std::string_view text)
{
    std::vector<std::string> values;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = Trim(text.substr(0, end));
        if (!line.empty())
            values.emplace_back(line);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return values;
}

std::string JoinValues(const std::vector<std::string>& values)
{
    std::string out;
    for (const std::string& v : values)
        out += (out.empty() ? "" : "\n") + v;
    return out;
}

std::string CompleteConditions(AnswerConditions& c)
{
    c.pattern.reset();
    for (const std::string& v : c.values) {
        if (v.find('\n') != std::string::npos || v.find('\0') != std::string::npos)
            return "a value holds a line break";
    }
    if (c.mode == ExpectMode::None) {
        if (!c.values.empty())
            return "values given without an expect_mode";
        return {};
    }
    if (c.values.empty())
        return std::string("expect_mode ") + ExpectModeName(c.mode) + " needs values in expect";
    if (c.mode == ExpectMode::Matches) {
        if (c.values.size() != 1)
            return "expect_mode matches takes one pattern";
        RE2::Options options;
        options.set_log_errors(false);
        auto re = std::make_shared<const re2::RE2>(c.values[0], options);
        if (!re->ok())
            return "the pattern does not compile: " + re->error();
        c.pattern = std::move(re);
    }
    return {};
}

std::string ReadConditionFields(const ConditionFields& fields, AnswerConditions& c)
{
    AnswerConditions read;
    std::string error = ParseExpectMode(fields.mode, read.mode);
    if (error.empty())
        error = ParseExpectRcode(fields.rcode, read.rcode);
    if (error.empty())
        error = ParseDnssec(fields.dnssec, read.validated);
    if (error.empty())
        error = ParseSigWarnDays(fields.sigWarnDays, read.sigWarnDays);
    read.values = SplitValues(fields.values);
    if (error.empty())
        error = CompleteConditions(read);
    if (error.empty())
        c = std::move(read);
    return error;
}

ConditionFields FieldsOf(const AnswerConditions& c)
{
    ConditionFields f;
    f.mode = ExpectModeName(c.mode);
    f.values = JoinValues(c.values);
    f.rcode = ExpectRcodeName(c.rcode);
    f.dnssec = c.validated ? "validated" : "";
    f.sigWarnDays = c.sigWarnDays != 0 ? std::to_string(c.sigWarnDays) : "";
    return f;
}

std::vector<std::string> ConditionTexts(const AnswerConditions& c)
{
    std::vector<std::string> texts;
    if (c.mode != ExpectMode::None) {
        texts.push_back(std::string(kExpectModePrefix) + ExpectModeName(c.mode));
        // Cut at a fixed width, inside a value as well: reading joins the
        // pieces again with nothing between them.
        const std::string all = JoinValues(c.values);
        const std::size_t room = kConditionTextLimit - kExpectPrefix.size();
        for (std::size_t at = 0; at < all.size(); at += room)
            texts.push_back(std::string(kExpectPrefix) + all.substr(at, room));
    }
    if (c.rcode != ExpectRcode::Default)
        texts.push_back(std::string(kExpectRcodePrefix) + ExpectRcodeName(c.rcode));
    if (c.validated)
        texts.push_back(std::string(kDnssecPrefix) + "validated");
    if (c.sigWarnDays != 0)
        texts.push_back(std::string(kSigWarnPrefix) + std::to_string(c.sigWarnDays));
    return texts;
}

bool IsConditionText(std::string_view text)
{
    for (const std::string_view prefix : {kExpectModePrefix, kExpectPrefix, kExpectRcodePrefix, kDnssecPrefix, kSigWarnPrefix})
        if (text.starts_with(prefix))
            return true;
    return false;
}

std::string ReadConditionTexts(std::span<const std::string> texts, AnswerConditions& c)
{
    c = AnswerConditions{};
    AnswerConditions read;
    std::string values;
    std::string error;
    for (const std::string& t : texts) {
        const std::string_view text(t);
        if (text.starts_with(kExpectModePrefix))
            error = ParseExpectMode(text.substr(kExpectModePrefix.size()), read.mode);
        else if (text.starts_with(kExpectPrefix))
            values += text.substr(kExpectPrefix.size());
        else if (text.starts_with(kExpectRcodePrefix))
            error = ParseExpectRcode(text.substr(kExpectRcodePrefix.size()), read.rcode);
        else if (text.starts_with(kDnssecPrefix))
            error = ParseDnssec(text.substr(kDnssecPrefix.size()), read.validated);
        else if (text.starts_with(kSigWarnPrefix))
            error = ParseSigWarnDays(text.substr(kSigWarnPrefix.size()), read.sigWarnDays);
        if (!error.empty())
            return error;
    }
    read.values = SplitValues(values);
    error = CompleteConditions(read);
    if (error.empty())
        c = std::move(read);
    return error;
}

std::string NormalizeValue(std::uint16_t type, std::string_view value)
{
    value = Trim(value);
    if (type == kTypeA || type == kTypeAaaa) {
        const int family = type == kTypeA ? AF_INET : AF_INET6;
        std::uint8_t bytes[16];
        char text[INET6_ADDRSTRLEN];
        const std::string s(value);
        if (inet_pton(family, s.c_str(), bytes) == 1 && inet_ntop(family, bytes, text, sizeof text) != nullptr)
            return text;
    }
    std::string quotedTxt;
    if (type == kTypeTxt && !value.empty() && value.front() != '"') {
        // A TXT value given without quotes is one character-string.
        quotedTxt = "\"";
        for (const char c : value) {
            if (c == '"' || c == '\\')
                quotedTxt += '\\';
            quotedTxt += c;
        }
        quotedTxt += '"';
        value = quotedTxt;
    }
    std::vector<std::string> words = Words(value);
    // Key, digest and signature fields are one field whatever the spaces in them.
    const std::size_t fixed = type == kTypeDnskey || type == kTypeDs ? 3 : type == kTypeRrsig ? 8 : words.size();
    std::string out;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i != 0 && i <= fixed)
            out += ' ';
        out += words[i];
    }
    return out;
}

bool RcodeMeetsConditions(const AnswerConditions& c, int rcode)
{
    return rcode == (c.rcode == ExpectRcode::NxDomain ? kResultNameError : kResultOk);
}

int CheckAnswer(const AnswerConditions& c, std::uint16_t type, int rcode, std::span<const std::string> answer,
                std::string& detail)
{
    detail.clear();
    if (!RcodeMeetsConditions(c, rcode)) {
        // Only the one code that was expected instead of success is this failure;
        // a server failure stays a failure of its own code.
        if (rcode != kResultOk && rcode != kResultNameError)
            return rcode;
        detail = "expected " + RcodeName(c.rcode == ExpectRcode::NxDomain ? 3 : 0) + "; got " + RcodeName(rcode);
        return kResultRcodeDiffers;
    }
    if (c.mode == ExpectMode::None)
        return kResultOk;
    const std::vector<std::string> got = SortedSet({answer.begin(), answer.end()});
    if (c.mode == ExpectMode::Matches) {
        if (c.pattern == nullptr)
            return kResultOk;
        if (got.empty()) {
            detail = "expected records matching " + c.values[0] + "; got no records";
            return kResultAnswerDiffers;
        }
        for (const std::string& text : got) {
            if (!RE2::PartialMatch(text, *c.pattern)) {
                detail = Shortened("expected every record to match " + c.values[0] + "; got " + text);
                return kResultAnswerDiffers;
            }
        }
        return kResultOk;
    }
    std::vector<std::string> expected;
    for (const std::string& v : c.values)
        expected.push_back(NormalizeValue(type, v));
    expected = SortedSet(std::move(expected));
    std::vector<std::string> differing;
    switch (c.mode) {
    case ExpectMode::Equals:
        if (expected == got)
            return kResultOk;
        detail = "expected " + ListText(expected) + "; got " + ListText(got);
        break;
    case ExpectMode::Contains:
        std::set_difference(expected.begin(), expected.end(), got.begin(), got.end(), std::back_inserter(differing));
        if (differing.empty())
            return kResultOk;
        detail = "expected " + ListText(differing) + "; got " + ListText(got);
        break;
    case ExpectMode::Excludes:
        std::set_intersection(expected.begin(), expected.end(), got.begin(), got.end(), std::back_inserter(differing));
        if (differing.empty())
            return kResultOk;
        detail = "expected none of " + ListText(differing) + "; got " + ListText(got);
        break;
    default:
        return kResultOk;
    }
    detail = Shortened(std::move(detail));
    return kResultAnswerDiffers;
}

int CheckSignatures(std::span<const SignatureWindow> windows, std::uint32_t days, std::int64_t now,
                    std::string& detail, std::int64_t& earliest)
{
    detail.clear();
    earliest = 0;
    if (windows.empty()) {
        detail = "no signature covers the answer";
        return kResultSignatureMissing;
    }
    std::int64_t latestInception = windows[0].inception;
    earliest = windows[0].expiration;
    for (const SignatureWindow& w : windows) {
        earliest = std::min(earliest, w.expiration);
        latestInception = std::max(latestInception, w.inception);
    }
    if (latestInception > now) {
        detail = "signature not valid before " + UtcText(latestInception);
        return kResultSignatureNotYetValid;
    }
    if (earliest <= now) {
        detail = "signature expired " + UtcText(earliest);
        return kResultSignatureExpired;
    }
    if (days != 0 && earliest - now < static_cast<std::int64_t>(days) * 86400) {
        detail = "signature expires " + UtcText(earliest);
        return kResultSignatureExpiring;
    }
    return kResultOk;
}

std::string Shortened(std::string text, std::size_t limit)
{
    if (text.size() > limit) {
        text.resize(limit - 3);
        text += "...";
    }
    return text;
}

std::string AnswerDigest(std::span<const std::string> normalizedTexts)
{
    const std::vector<std::string> sorted = SortedSet({normalizedTexts.begin(), normalizedTexts.end()});
    // FNV-1a over the sorted texts, each ended by a 0 byte: not a guard against
    // a forger (the server is trusted for its answer), only a change detector.
    std::uint64_t h = 0xCBF29CE484222325ull;
    auto mix = [&h](std::uint8_t b) { h = (h ^ b) * 0x100000001B3ull; };
    for (const std::string& t : sorted) {
        for (const char c : t)
            mix(static_cast<std::uint8_t>(c));
        mix(0);
    }
    char text[17];
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i)
        text[i] = kDigits[(h >> (60 - 4 * i)) & 15];
    text[16] = '\0';
    return std::string(text) + ":" + std::to_string(sorted.size());
}

} // namespace varnell
