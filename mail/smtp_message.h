// One outgoing mail: addresses, header block (RFC 5322 Internet Message
// Format) and, when attachments are present, a MIME multipart/mixed body
// (RFC 2045, RFC 2046 section 5.1). The body is dot-stuffed for the DATA
// phase of RFC 5321 section 4.5.2 when it is set.
//
// Header values come from the settings and from event texts that carry the
// operator's item names. A CR or LF inside one would start a header line of
// its own, so every value written into the header block has them removed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnell {

class CSMTPAddress {
public:
    CSMTPAddress() = default;
    CSMTPAddress(std::string emailAddress, std::string friendlyName = {})
        : friendlyName(std::move(friendlyName)), emailAddress(std::move(emailAddress))
    {
    }

    // "name <address>", or the bare address when there is no name.
    std::string GetRegularFormat() const;

    std::string friendlyName;
    std::string emailAddress; // the address used in the SMTP envelope
};

// An attachment as the caller prepared it: a title (MIME name and file name)
// and its Base64 text.
class CSMTPAttachment {
public:
    CSMTPAttachment() = default;

    void SetTitle(std::string title) { title_ = std::move(title); }
    const std::string& GetTitle() const { return title_; }
    // Base64-encodes the content in lines of 76 characters and keeps the text.
    void SetContent(std::span<const std::uint8_t> content);
    // Takes a text that is Base64 already; its lines are made to end in CR LF.
    void SetEncodedText(std::string_view text);
    const std::string& GetEncodedText() const { return encoded_; }
    std::int32_t GetEncodedLength() const { return static_cast<std::int32_t>(encoded_.size()); }

private:
    std::string title_;
    std::string encoded_;
};

class CSMTPMessage {
public:
    CSMTPMessage() = default;
    CSMTPMessage(const CSMTPMessage&) = delete;
    CSMTPMessage& operator=(const CSMTPMessage&) = delete;
    virtual ~CSMTPMessage() = default;

    // Returns the index the recipient was stored at.
    int AddRecipient(const CSMTPAddress& recipient);
    int GetNumberOfRecipients() const { return static_cast<int>(recipients_.size()); }
    // An index outside 0 .. count - 1 is a programming error: throws std::out_of_range.
    const CSMTPAddress& GetRecipient(int index) const;

    // The caller keeps ownership; the attachment must outlive the send.
    int AddAttachment(const CSMTPAttachment* attachment);
    int GetNumberOfAttachments() const { return static_cast<int>(attachments_.size()); }

    // Stores the text as the DATA phase must carry it: every line break (CR LF,
    // a bare CR or a bare LF) becomes CR LF, lines over the limit are broken,
    // and every line that starts with "." gets one more in front.
    void SetBodyText(std::string_view text);
    const std::string& GetBodyText() const { return body_; }

    // The header block, ending with the empty line.
    virtual std::string GetHeader(bool highPriority) const;
    // Everything after the header block and before the end-of-data marker: the
    // body alone, or the multipart layout when there are attachments.
    std::string GetContent() const;

    CSMTPAddress from;
    std::string subject;
    std::string xMailer = "Varnell Mailer 1.21";
    CSMTPAddress replyTo; // no Reply-To line while its address is empty

private:
    std::string body_;
    std::vector<CSMTPAddress> recipients_;
    std::vector<const CSMTPAttachment*> attachments_;
};

// The same text with every CR and LF removed.
std::string StripLineBreaks(std::string_view text);

// The current time as an RFC 5322 date-time: "Tue, 08 Dec 2026 03:15:09 +0100".
std::string FormatMailDate(std::int64_t unixSeconds);

// Longest line a message may carry, CRLF excluded (RFC 5321 section 4.5.3.1.6,
// RFC 5322 section 2.1.1). Servers refuse longer lines.
inline constexpr std::size_t kMaxMailLine = 998;

} // namespace varnell
