// Result evaluation: turns one probe result (WM_DNS_RESULT) into the item's row
// texts, round-trip statistics, up/down state and the three events (down, up,
// addresses changed). Runs on the user-interface thread only.
#pragma once

#include <cstdint>
#include <string>

#include "items/item_table.h"

namespace varnell {

// Result codes: 0-15 the reply's RCODE (0 is the only success), then the codes
// the engine itself produces.
enum ResultCode : int {
    kResultOk = 0,
    kResultNameError = 3,
    kResultTimeout = 16,
    kResultSendFailed = 17,
    kResultPartReply = 18,
    kResultTooManyRecords = 19,
    kResultTooManyFollowUpRecords = 20,
    kResultLastWithText = 31,
};

// OnDnsResult's return for a reply that came later than the item's timeout.
inline constexpr int kResultLate = -4;

// Evaluates one result. Returns 0, or kResultLate when a successful reply came
// after the item's timeout (only the request and state columns change then).
int OnDnsResult(DnsItem* item, int code);

// True when the gathered answer addresses differ from the known ones, position by
// position (the answers are sorted, so another reply order is no change).
bool AddressesChanged(const DnsItem& item);

// The "Monitor State" text of a code: the table text for 0-20, "" for 21-31, and
// nullptr for any other code (the column is then left as it is).
const char* ResultCodeText(int code);

// Events raised since the program started, by EventKind (result_hooks.h); read
// from any thread. Out-of-range kinds give 0.
std::uint64_t EventCount(int kind);

} // namespace varnell
