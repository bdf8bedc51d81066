// The reply detail text of an item: its domain name, its gathered addresses and
// every parsed record of its latest probe, section by section, as coloured runs
// that the item list's detail pane appends one after another.
//
// The record area and the names area are read through bounds checks: a record
// whose offsets point outside the names area shows an empty name, and section
// counts are cut to the record area, so a damaged block never reads past itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "items/item_table.h"
#include "transport/transport.h"

namespace varnell {

enum class DetailColour : std::uint8_t { Black, Red, Blue, Grey, Green };

// The colour as 0xRRGGBB.
std::uint32_t DetailRgb(DetailColour colour);

struct DetailRun {
    DetailColour colour;
    std::string text; // line ends are "\r\n"
};

// Builds the text from a block; the caller keeps the block from changing.
// overTcp: the answers needed TCP, shown as "(TCP)" after their count.
// ipv6: the block is an AAAA item's, whose addresses are in answers6.
std::vector<DetailRun> BuildReplyDetail(const ItemBlock& block, bool overTcp = false, bool ipv6 = false);
// via: the item's transport, named after the count ("(TLS)", "(HTTPS)", "(TCP)").
std::vector<DetailRun> BuildReplyDetail(const ItemBlock& block, bool overTcp, bool ipv6, Transport via);
// The same for an item of the table, read under the engine lock.
std::vector<DetailRun> ReplyDetailOf(const DnsItem& item);

// The runs joined, without colours (logs and tests).
std::string DetailPlainText(const std::vector<DetailRun>& runs);

// How the latest probe of each item got its answers, for the "(TCP)" mark. The
// probing threads note it as they take a reply: the primary reply sets it, a
// follow-up reply that came over TCP sets it too.
void NoteAnswerTransport(std::uint32_t itemSlot, bool primary, bool viaTcp);
// Whether the latest probe of the item needed TCP for any of its answers.
bool AnsweredOverTcp(std::uint32_t itemSlot);
// Forgets every item's (start-up and tests, no engine thread running).
void ResetAnswerTransports();

} // namespace varnell
