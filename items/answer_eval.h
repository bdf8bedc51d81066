// An item's answer as a set of record texts, and the verdict of its
// conditions on it (items/answer_conditions.h).
//
// The answer set of an item is, for the record types read for their content
// (TXT, SRV, CAA, HTTPS, DNSKEY, DS), the records of the asked type at the end
// of the CNAME chain of the primary reply's answer section, compared as a set;
// for A and AAAA items the gathered addresses; for the other types the records
// of the asked type the same way as the content types.
//
// Who touches what: the state is kept per slot beside the item's block (the
// block's layout is that of the item table); result evaluation reads and writes
// it on the user-interface thread under the engine lock, the receiver writes
// the reply flags under the same lock, the scheduler reads whether the query
// wants DNSSEC records, and the entry commands and the store's loading set the
// conditions, all under that lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "items/answer_conditions.h"

namespace varnell {

struct DnsItem;
struct ItemBlock;

struct AnswerState {
    AnswerConditions conditions;
    std::string digest;               // of the last answer set reported ("answer_digest=")
    std::string detail;               // what the latest probe's answer failed, "" when it passed
    std::int64_t signatureExpiry = 0; // earliest expiry of the latest signatures read; 0 none
    std::int8_t conditionOk = -1;     // the latest verdict: -1 none yet (or no conditions), 0, 1
    std::uint8_t replyFlags = 0;      // byte 3 of the primary reply (RA, Z, AD, CD, RCODE)
    int lastCode = -1;                // the latest probe's result after the conditions; -1 none yet
};

// The state of the item in slot. Engine lock held.
AnswerState& AnswerOf(std::uint32_t slot);
AnswerState& AnswerOf(const DnsItem& item);
// Forgets every slot's (start-up and tests).
void ResetAnswerStates();

// Gives the item these conditions: its condition texts are replaced by c's and
// its state starts afresh (no digest, no verdict). false, and nothing changed,
// when the item's extra texts have no room for them. Engine lock held.
bool SetItemConditions(DnsItem& item, const AnswerConditions& c);
// True when the item in slot, edited to have an IPv6 server or not, has room
// for c's texts beside its other texts. Engine lock taken.
bool ConditionsFit(std::uint32_t slot, bool server6, const AnswerConditions& c);
// Reads the item's conditions and answer digest from its stored texts into its
// state, as the store is loaded. "" when they read whole, else why not (the
// item then has none and should wait, suspended, for the operator).
// slot: where the item is being loaded to.
std::string LoadItemConditions(std::uint32_t slot, const DnsItem& item, const ItemBlock& block);
// Keeps the state's digest in the item's "answer_digest=" text.
bool StoreAnswerDigest(DnsItem& item);

// Result evaluation's one call: applies the item's conditions to the probe's
// code (a reply's RCODE or an engine code) and returns the code to go on with;
// changed gets the change event's text when a content answer set changed (its
// digest is then kept in the item's text). An item without conditions and of
// none of the content types costs one test. Engine lock held.
int ApplyAnswerConditions(DnsItem& item, int code, std::string& changed, std::int64_t now);

// What the latest probe's failure was, for the operator: the condition's detail
// ("expected 192.0.2.1; got 192.0.2.7"), else the result code's text; "" when
// the latest probe succeeded or none ended yet.
std::string FailureDetail(const DnsItem& item);

inline constexpr std::uint8_t kReplyFlagAd = 0x20; // RFC 4035 3.2.3, in byte 3 of the header

// True for the record types whose answer is compared as a set of record texts.
bool IsContentType(std::uint16_t qtype);

// The texts of the item's answer set in the form they are compared in
// (NormalizeValue of each record's text), unsorted, duplicates kept.
std::vector<std::string> AnswerTexts(const DnsItem& item, const ItemBlock& block);
// The same as shown to the operator (the event text, the reply detail).
std::vector<std::string> AnswerDisplayTexts(const DnsItem& item, const ItemBlock& block);

// The validity windows of the RRSIG records in the answer section that cover
// the asked type and are owned by the name the answer set is owned by.
std::vector<SignatureWindow> AnswerSignatures(const DnsItem& item, const ItemBlock& block, std::int64_t now);

struct AnswerJudgement {
    int code = 0;        // the probe's result after the conditions
    std::string changed; // the change event's text when a content answer set changed
};

// Applies the item's conditions to a probe that ended with code (a RCODE or an
// engine code) and, for content types, notes a change of the answer set.
// Updates state (detail, verdict, signature expiry, digest on a change).
// Caller holds the engine lock.
AnswerJudgement JudgeAnswer(const DnsItem& item, const ItemBlock& block, AnswerState& state, int code,
                            std::int64_t now);

} // namespace varnell
