#include "items/answer_eval.h"

#include <algorithm>
#include <array>
#include <arpa/inet.h>
#include <span>

#include "base/net/address_text.h"
#include "dns/dns_name.h"
#include "dns/dns_wire.h"
#include "dns/record_text.h"
#include "items/address6.h"
#include "items/item_table.h"
#include "items/result_eval.h"

namespace varnell {

namespace {

std::uint16_t TypeOf(const ReplyRecord& record) { return ntohs(record.typeBE); }

const char* TextAt(const ItemBlock& block, std::uint32_t offset)
{
    // Every write into the names area ends with a 0 byte inside it.
    return offset < kNamesArea ? block.names + offset : "";
}

std::span<const std::uint8_t> DataOf(const ItemBlock& block, const ReplyRecord& record)
{
    const std::uint32_t length = ntohs(record.dataLengthBE);
    if (record.data >= kNamesArea || length > kNamesArea - record.data)
        return {};
    return {reinterpret_cast<const std::uint8_t*>(block.names) + record.data, length};
}

std::string WithDot(const char* name) { return *name == '\0' ? "." : std::string(name) + "."; }

// The record's text as the resolver prints it; pieces false for comparing.
std::string RecordText(const ItemBlock& block, const ReplyRecord& record, bool pieces)
{
    const std::uint16_t type = TypeOf(record);
    if (HasContentData(type))
        return RecordDataText(type, DataOf(block, record), pieces);
    if (type == kTypeMx)
        return std::to_string(record.preference) + " " + WithDot(TextAt(block, record.data));
    return WithDot(TextAt(block, record.data));
}

// The answer-section records of the asked type at the end of the CNAME chain
// from the item's domain (a CNAME item: its domain's own CNAME records).
std::vector<const ReplyRecord*> AnswerRecords(const ItemBlock& block, std::uint16_t qtype, std::uint16_t wanted)
{
    const std::uint32_t start = std::min(block.answerStart, kReplyRecords);
    const std::uint32_t end = start + std::min(block.answerRecords, kReplyRecords - start);
    std::vector<const ReplyRecord*> found;
    const char* name = block.domain.c_str();
    // A chain longer than the records can hold is a loop.
    for (std::uint32_t hop = 0; hop <= kReplyRecords; ++hop) {
        const char* next = nullptr;
        for (std::uint32_t r = start; r < end; ++r) {
            const ReplyRecord& record = block.records[r];
            if (!SameName(TextAt(block, record.owner), name))
                continue;
            if (TypeOf(record) == wanted)
                found.push_back(&record);
            else if (TypeOf(record) == kTypeCname && next == nullptr && qtype != kTypeCname)
                next = TextAt(block, record.data);
        }
        if (!found.empty() || next == nullptr)
            break;
        name = next;
    }
    return found;
}

std::vector<std::string> Texts(const DnsItem& item, const ItemBlock& block, bool display)
{
    const std::uint16_t qtype = RecordQueryType(item.typeIndex);
    std::vector<std::string> texts;
    if (qtype == kTypeA || qtype == kTypeAaaa) {
        const std::uint32_t n = std::min(block.answerCount, qtype == kTypeA ? kAnswerAddresses : kReplyRecords);
        for (std::uint32_t i = 0; i < n; ++i)
            texts.push_back(qtype == kTypeA ? DottedAddress(block.answers[i].addrBE) : Address6Text(block.answers6[i]));
        return texts;
    }
    for (const ReplyRecord* record : AnswerRecords(block, qtype, qtype)) {
        std::string text = RecordText(block, *record, display);
        texts.push_back(display ? std::move(text) : NormalizeValue(qtype, text));
    }
    return texts;
}

// One state per slot, beside the blocks; reached only under the engine lock.
std::array<AnswerState, kItemSlots>& States()
{
    static auto* states = new std::array<AnswerState, kItemSlots>();
    return *states;
}

// The texts an item's conditions own: theirs, and the digest of the answer
// they judged.
bool GoesWithConditions(std::string_view text)
{
    return IsConditionText(text) || text.starts_with(kAnswerDigestPrefix);
}

} // namespace

AnswerState& AnswerOf(std::uint32_t slot) { return States()[slot < kItemSlots ? slot : 0]; }
AnswerState& AnswerOf(const DnsItem& item) { return AnswerOf(SlotOf(item)); }

void ResetAnswerStates()
{
    for (AnswerState& s : States())
        s = AnswerState{};
}

bool SetItemConditions(DnsItem& item, const AnswerConditions& c)
{
    if (!ReplaceItemTexts(item, BlockOf(item), GoesWithConditions, ConditionTexts(c)))
        return false;
    AnswerState& state = AnswerOf(item);
    state = AnswerState{};
    state.conditions = c;
    return true;
}

bool ConditionsFit(std::uint32_t slot, bool server6, const AnswerConditions& c)
{
    if (slot >= kItemSlots)
        return false;
    const LockedItems items = LockItems();
    const DnsItem& item = items->items[slot];
    const ItemBlock& block = items->blocks[slot];
    std::size_t kept = 0;
    bool hasServer6 = false;
    const std::uint32_t n = std::min(item.reservedTextCount, kReservedTexts);
    for (std::uint32_t k = 0; k < n; ++k) {
        const std::string& t = block.reservedTexts[k];
        hasServer6 = hasServer6 || t.starts_with(kServer6Prefix);
        kept += GoesWithConditions(t) ? 0 : 1;
    }
    if (server6 && !hasServer6)
        ++kept;
    else if (!server6 && hasServer6)
        --kept;
    return kept + ConditionTexts(c).size() <= kReservedTexts;
}

std::string LoadItemConditions(std::uint32_t slot, const DnsItem& item, const ItemBlock& block)
{
    AnswerState& state = AnswerOf(slot);
    state = AnswerState{};
    const std::uint32_t n = std::min(item.reservedTextCount, kReservedTexts);
    const std::span<const std::string> texts(block.reservedTexts.data(), n);
    for (const std::string& t : texts)
        if (t.starts_with(kAnswerDigestPrefix))
            state.digest = t.substr(kAnswerDigestPrefix.size());
    return ReadConditionTexts(texts, state.conditions);
}

bool StoreAnswerDigest(DnsItem& item)
{
    return StoreItemText(item, BlockOf(item), kAnswerDigestPrefix,
                         std::string(kAnswerDigestPrefix) + AnswerOf(item).digest);
}

int ApplyAnswerConditions(DnsItem& item, int code, std::string& changed, std::int64_t now)
{
    AnswerState& state = AnswerOf(item);
    const std::uint16_t qtype = RecordQueryType(item.typeIndex);
    if (!state.conditions.Any() && !IsContentType(qtype)) {
        state.lastCode = code;
        return code;
    }
    AnswerJudgement j = JudgeAnswer(item, BlockOf(item), state, code, now);
    // No room for the digest's text leaves it in memory only: the change is
    // raised again after a restart, never missed.
    if (!j.changed.empty())
        StoreAnswerDigest(item);
    changed = std::move(j.changed);
    return j.code;
}

std::string FailureDetail(const DnsItem& item)
{
    const AnswerState& state = AnswerOf(item);
    const int code = state.lastCode;
    if (code <= kResultOk)
        return {};
    if (!state.detail.empty() && code >= kResultAnswerDiffers && code <= kResultSignatureExpired)
        return state.detail;
    const char* text = ResultCodeText(code);
    return text != nullptr ? text : "";
}

bool IsContentType(std::uint16_t qtype) { return HasContentData(qtype) && qtype != kTypeRrsig; }

std::vector<std::string> AnswerTexts(const DnsItem& item, const ItemBlock& block) { return Texts(item, block, false); }

std::vector<std::string> AnswerDisplayTexts(const DnsItem& item, const ItemBlock& block)
{
    return Texts(item, block, true);
}

std::vector<SignatureWindow> AnswerSignatures(const DnsItem& item, const ItemBlock& block, std::int64_t now)
{
    const std::uint16_t qtype = RecordQueryType(item.typeIndex);
    std::vector<SignatureWindow> windows;
    for (const ReplyRecord* record : AnswerRecords(block, qtype, kTypeRrsig)) {
        SignatureTimes times;
        if (ReadSignatureTimes(DataOf(block, *record), now, times) && times.typeCovered == qtype)
            windows.push_back(SignatureWindow{times.inception, times.expiration});
    }
    return windows;
}

namespace {

AnswerJudgement Judge(const DnsItem& item, const ItemBlock& block, AnswerState& state, int code, std::int64_t now)
{
    AnswerJudgement j;
    j.code = code;
    const AnswerConditions& c = state.conditions;
    const std::uint16_t qtype = RecordQueryType(item.typeIndex);
    const bool answered = code == kResultOk || code == kResultNameError;
    // Only a reply is judged; a time-out or a refused reply stays what it was.
    if (!answered || (!c.Any() && !IsContentType(qtype))) {
        if (!answered)
            state.conditionOk = c.Any() ? 0 : -1;
        return j;
    }
    std::vector<std::string> texts;
    if (c.mode != ExpectMode::None || IsContentType(qtype))
        texts = AnswerTexts(item, block);
    state.detail.clear();
    if (c.Any()) {
        j.code = CheckAnswer(c, qtype, code, texts, state.detail);
        if (j.code == kResultOk && c.validated && (state.replyFlags & kReplyFlagAd) == 0) {
            j.code = kResultNotValidated;
            state.detail = "answer not validated";
        }
        if (c.sigWarnDays != 0) {
            std::string sigDetail;
            std::int64_t earliest = 0;
            // A name that must not exist has no answer set to be signed.
            const int sig = code == kResultOk
                                ? CheckSignatures(AnswerSignatures(item, block, now), c.sigWarnDays, now, sigDetail,
                                                  earliest)
                                : kResultOk;
            state.signatureExpiry = earliest;
            if (j.code == kResultOk && sig != kResultOk) {
                j.code = sig;
                state.detail = sigDetail;
            }
        }
        state.conditionOk = j.code == kResultOk ? 1 : 0;
    }
    // A changed set is reported once it is an answer that passed: a failed one
    // goes the failure's way, and the set is compared again on the next success.
    if (j.code == kResultOk && code == kResultOk && IsContentType(qtype)) {
        const std::string digest = AnswerDigest(texts);
        if (digest != state.digest) {
            state.digest = digest;
            std::string text = "the answer of " + block.name + " is changed to ";
            for (const std::string& t : AnswerDisplayTexts(item, block))
                text += t + "; ";
            j.changed = Shortened(std::move(text));
        }
    }
    return j;
}

} // namespace

AnswerJudgement JudgeAnswer(const DnsItem& item, const ItemBlock& block, AnswerState& state, int code,
                            std::int64_t now)
{
    AnswerJudgement j = Judge(item, block, state, code, now);
    state.lastCode = j.code;
    return j;
}

} // namespace varnell
