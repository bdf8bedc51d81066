// IPv6 addresses of AAAA items (RFC 3596) and of DNS servers reached over IPv6:
// their text form, their order, and the "known6=" and "server6=" texts that
// carry them in the store.
//
// Why texts: the item record is the stored form; its known-address area holds
// IPv4 entries only and its server endpoint has room for an IPv4 address only.
// So an AAAA item's known addresses travel as one of the item's extra texts
// ("known6=2001:db8::1; 2001:db8::2"), and an IPv6 server as another
// ("server6=2001:db8::53") beside an endpoint of family 10 whose address bytes
// are zero. A store without such items never has these texts, so it saves as it
// always did.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dns/peer_address.h"
#include "items/item_table.h"

namespace varnell {

inline constexpr std::string_view kKnown6Prefix = "known6=";
inline constexpr std::string_view kServer6Prefix = "server6=";

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

// True when the item's DNS server is an IPv6 address (its endpoint family is 10).
bool IsServer6Item(const DnsItem& item);
// The item's DNS server: its endpoint, and for an IPv6 server the address held
// in its block.
PeerAddress ServerPeer(const DnsItem& item);
// The item's DNS server as every text shows it: dotted IPv4, or RFC 5952 text
// of the IPv6 address held in the item's block.
std::string ServerAddressText(const DnsItem& item);

// Reads IPv6 text that may name a DNS server. Returns an empty text and fills
// address, or says why the address is no server (the text is no IPv6 address,
// or names one no server answers from).
std::string ParseServer6(std::string_view text, Address6& address);

// Reads the item's "server6=" text into block.server6. false (and block.server6
// zero) when an IPv6-server item has no such text or an unreadable one, or when
// an IPv4-server item carries one, since it cannot be told which server is meant.
bool LoadServer6(const DnsItem& item, ItemBlock& block);
// Writes block.server6 into the item's "server6=" text, adding the text after
// the others when the item has none yet. false when no extra text is left for it.
bool StoreServer6(DnsItem& item, ItemBlock& block);
// Removes the item's "server6=" text, when it has one; later texts move up.
void RemoveServer6(DnsItem& item, ItemBlock& block);

// The item's first known address as the list shows it: dotted IPv4 (0.0.0.0
// when none) or, for an AAAA item, IPv6 text ("::" when none).
std::string FirstKnownAddressText(const DnsItem& item);

} // namespace varnell
