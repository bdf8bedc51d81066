// IPv6 addresses of AAAA items (RFC 3596): their text form, their order, and
// the "known6=" text that carries an item's known addresses in the store.
//
// Why a text: the item record is the stored form and its known-address area
// holds IPv4 entries only, so an AAAA item's known addresses travel as one of
// the item's extra texts ("known6=2001:db8::1; 2001:db8::2"), which a store
// without AAAA items never has, so such a store saves as it always did.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/item_table.h"

namespace varnell {

inline constexpr std::string_view kKnown6Prefix = "known6=";

// RFC 5952 text ("2001:db8::1").
std::string Address6Text(const Address6& address);

// Appends the address to the answers6 area unless present or the area is full.
void AddUniqueAddress6(ItemBlock& block, const Address6& address);
// Orders answers6 by their 16 bytes.
void SortAnswers6(ItemBlock& block);

// Index of the item's text beginning "known6=" among its kept extra texts, or -1.
int Known6TextIndex(const DnsItem& item, const ItemBlock& block);
// Reads the item's "known6=" text, when it has one, into block.known6. false
// (and block.known6 empty) when the text is malformed: an address that is no
// IPv6 text, or more addresses than an item can gather.
bool LoadKnown6(const DnsItem& item, ItemBlock& block);
// Writes block.known6 into the item's "known6=" text, adding the text after the
// others when the item has none yet. false when no extra text is left for it.
bool StoreKnown6(DnsItem& item, ItemBlock& block);

// The item's first known address as the list shows it: dotted IPv4 (0.0.0.0
// when none) or, for an AAAA item, IPv6 text ("::" when none).
std::string FirstKnownAddressText(const DnsItem& item);

} // namespace varnell
