// Message composition: RFC 5322 header block, RFC 2045/2046 multipart layout,
// RFC 5321 section 4.5.2 dot-stuffing.
#include "mail/smtp_message.h"

#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "mail/base64.h"

namespace varnell {

namespace {

constexpr char kBoundary[] = "#BOUNDARY#";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// One header line (without its CRLF) folded so that no physical line exceeds
// kMaxMailLine (RFC 5322 section 2.2.3). A fold goes before a blank, or after
// a comma of an address list with a blank added; a value with neither gets a
// hard fold, which adds one blank to it. Short lines come back unchanged.
std::string FoldHeaderLine(std::string line)
{
    std::string out;
    while (line.size() > kMaxMailLine) {
        std::size_t cut = 0;
        std::string rest;
        for (std::size_t p = kMaxMailLine; p >= 1; --p) {
            if (IsBlank(line[p])) {
                cut = p;
                rest = line.substr(p);
                break;
            }
            if (line[p - 1] == ',') {
                cut = p;
                rest = " " + line.substr(p);
                break;
            }
        }
        // Only a blank at the very start remains: a fold there would not shorten anything.
        if (cut == 0) {
            cut = kMaxMailLine;
            rest = " " + line.substr(cut);
        }
        out.append(line, 0, cut);
        out.append("\r\n");
        line = std::move(rest);
    }
    out.append(line);
    out.append("\r\n");
    return out;
}

// Calls f(line) for each line of text; a line ends at CR LF, a bare CR or a
// bare LF, since texts from the settings and the CSV import carry any of them.
template <class F>
void ForEachLine(std::string_view text, F f)
{
    for (;;) {
        const std::size_t end = text.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            f(text);
            return;
        }
        f(text.substr(0, end));
        text.remove_prefix(text.compare(end, 2, "\r\n") == 0 ? end + 2 : end + 1);
    }
}

// Appends a piece of a line, with one more "." in front when it starts with one.
void AppendStuffed(std::string_view piece, std::string& out)
{
    if (!piece.empty() && piece.front() == '.')
        out.push_back('.');
    out.append(piece);
}

// Appends one line broken into pieces of at most `limit` characters, at the
// last blank within the limit (the blank becomes the line break) or, without
// one, at the limit. Each piece is stuffed after the break, so a break cannot
// leave an unstuffed dot at a line start.
void AppendBrokenLine(std::string_view line, std::size_t limit, std::string& out)
{
    while (line.size() > limit) {
        const std::size_t cut = line.find_last_of(" \t", limit);
        const bool atBlank = cut != std::string_view::npos && cut != 0;
        AppendStuffed(line.substr(0, atBlank ? cut : limit), out);
        out.append("\r\n");
        line.remove_prefix(atBlank ? cut + 1 : limit);
    }
    AppendStuffed(line, out);
}

// The text as DATA may carry it: lines ending in CR LF only, none longer than
// kMaxMailLine with its stuffing, each dot-stuffed.
std::string DataLines(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 8);
    bool first = true;
    ForEachLine(text, [&](std::string_view line) {
        if (!first)
            out.append("\r\n");
        first = false;
        // 997 leaves room for the dot stuffing may add.
        AppendBrokenLine(line, kMaxMailLine - 1, out);
    });
    return out;
}

std::string RegularFormat(const CSMTPAddress& a) { return StripLineBreaks(a.GetRegularFormat()); }

} // namespace

std::string StripLineBreaks(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r' && c != '\n')
            out.push_back(c);
    return out;
}

std::string FormatMailDate(std::int64_t unixSeconds)
{
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11)
        return {};
    // Day and month names from fixed tables and a numeric zone: the locale's
    // names and zone abbreviations are not valid RFC 5322 dates.
    long offsetMinutes = tm.tm_gmtoff / 60;
    const char sign = offsetMinutes < 0 ? '-' : '+';
    if (offsetMinutes < 0)
        offsetMinutes = -offsetMinutes;
    char buf[128];
    const int n = std::snprintf(buf, sizeof(buf), "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[tm.tm_wday],
                                tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec,
                                sign, offsetMinutes / 60, offsetMinutes % 60);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof(buf))
        return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string CSMTPAddress::GetRegularFormat() const
{
    if (friendlyName.empty())
        return emailAddress;
    return friendlyName + " <" + emailAddress + ">";
}

void CSMTPAttachment::SetContent(std::span<const std::uint8_t> content)
{
    // Lines of 76 characters (RFC 2045 section 6.8); the text goes into the
    // message unchanged, so it must respect the line limit itself.
    const std::string flat = CBase64Algo().Encode(content);
    encoded_.clear();
    for (std::size_t i = 0; i < flat.size(); i += 76) {
        if (i != 0)
            encoded_.append("\r\n");
        encoded_.append(flat, i, 76);
    }
}

void CSMTPAttachment::SetEncodedText(std::string_view text)
{
    encoded_ = DataLines(text);
}

int CSMTPMessage::AddRecipient(const CSMTPAddress& recipient)
{
    recipients_.push_back(recipient);
    return static_cast<int>(recipients_.size()) - 1;
}

const CSMTPAddress& CSMTPMessage::GetRecipient(int index) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= recipients_.size())
        throw std::out_of_range("recipient index out of range");
    return recipients_[static_cast<std::size_t>(index)];
}

int CSMTPMessage::AddAttachment(const CSMTPAttachment* attachment)
{
    attachments_.push_back(attachment);
    return static_cast<int>(attachments_.size()) - 1;
}

void CSMTPMessage::SetBodyText(std::string_view text)
{
    body_ = DataLines(text);
}

std::string CSMTPMessage::GetHeader(bool highPriority) const
{
    std::string to;
    for (std::size_t i = 0; i < recipients_.size(); ++i) {
        if (i != 0)
            to.push_back(',');
        to += RegularFormat(recipients_[i]);
    }
    std::string header;
    header += FoldHeaderLine("From: " + RegularFormat(from));
    header += FoldHeaderLine("To: " + to);
    header += FoldHeaderLine("Subject: " + StripLineBreaks(subject));
    header += FoldHeaderLine("Date: " + FormatMailDate(static_cast<std::int64_t>(std::time(nullptr))));
    if (highPriority)
        header += "X-Priority: 1\r\nX-MSMail-Priority: High\r\n";
    header += FoldHeaderLine("X-Mailer: " + StripLineBreaks(xMailer));
    if (!replyTo.emailAddress.empty())
        header += FoldHeaderLine("Reply-To: " + RegularFormat(replyTo));
    if (!attachments_.empty())
        header += std::string("MIME-Version: 1.0\r\nContent-type: multipart/mixed; boundary=\"") + kBoundary + "\"\r\n";
    header += "\r\n";
    return header;
}

std::string CSMTPMessage::GetContent() const
{
    if (attachments_.empty())
        return body_;
    std::string out;
    out += std::string("\r\n--") + kBoundary +
           "\r\nContent-Type: text/plain; charset=us-ascii\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";
    out += body_;
    for (const CSMTPAttachment* a : attachments_) {
        const std::string title = StripLineBreaks(a->GetTitle());
        out += std::string("\r\n\r\n--") + kBoundary + "\r\nContent-Type: application/octet-stream; name=" + title +
               "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=" + title +
               "\r\n\r\n";
        out += a->GetEncodedText();
    }
    out += std::string("\r\n--") + kBoundary + "--";
    return out;
}

} // namespace varnell
