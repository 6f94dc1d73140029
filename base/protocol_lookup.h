// IP protocol numbers for packet labeling, looked up by protocol name.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The number of the protocol `name` (a keyword such as "tcp" or an alias such
// as "TCP"), or nothing when the name is unknown or its number does not fit 16
// bits. The system's protocol database is asked first; a name it does not know
// is looked up in the built-in table, so that a build root or container
// without /etc/protocols still compiles the usual policies. Names compare
// exactly (case-sensitively). Not thread-safe (the database is walked through
// static storage).
std::optional<uint16_t> LookupProtocol(const char* name);

// The built-in table alone: every keyword of the IANA registry of assigned
// internet protocol numbers, as written there or in lower case, plus the
// aliases of the usual Linux protocol database (ip, ipencap, IP-ENCAP,
// IPSEC-ESP, ospf, ...). Nothing when the name is not in the table.
std::optional<uint16_t> LookupBuiltinProtocol(std::string_view name);

// The first name the built-in table gives protocol `number` (its registry
// keyword as written there), or nothing. LookupBuiltinProtocol turns it back
// into `number`; polcdump uses it to name protocols the system's database
// does not know.
std::optional<std::string_view> BuiltinProtocolKeyword(uint16_t number);
