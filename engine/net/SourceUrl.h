#pragma once
// Source URL texts: the four forms a source can take ("http://", "ftp://",
// "tracker://" + an announce URL, "btnode://" + address), their percent
// encoding, and the dotted-address reader. ParseSourceUrl also resolves the
// host (NameResolver.h), so it may block for the lookup time-out (3 s).
//
// Thread: any; the pure helpers keep no state. ParseSourceUrl touches only the
// records handed in plus the resolver's process-wide tables (own locks).

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/net/TSourceInfo.h"

namespace engine {

// Paths, URLs and names were fixed 4096-byte buffers: longer texts are cut to
// this many bytes, so a hostile URL cannot make them grow without bound.
inline constexpr size_t UrlTextLimit = 4095;

// Parses `url` into `fields` and `info` and resolves its host name. False for
// an unknown prefix, a tracker URL without "://" or with an unknown scheme,
// and for a host that does not resolve (then `fields.resolve_failed` is set
// and the address is NoAddress). A dotted host that gives no valid address
// parses, with NoAddress.
bool ParseSourceUrl(const std::string& url, TSourceFields& fields, TSourceInfo& info);

// The parse without the lookup (steps shared with ParseSourceUrl): rewrites
// "\" to "/", encodes or decodes, dispatches on the prefix and fills the
// file name. Exposed for callers and tests that must not resolve.
bool ParseSourceUrlText(const std::string& url, TSourceFields& fields, TSourceInfo& info);

// HTTP URLs travel encoded: every space, control byte and byte above 127
// becomes "%" and two lowercase hex digits; everything else, "%" included,
// stays as it is.
std::string PercentEncodeUrl(std::string_view text);
// "%" and two characters become one byte (a character that is not a hex digit
// counts as 0); a "%" with fewer than two characters after it, or a decoded
// NUL byte, ends the text; "+" stays. The result is cut at UrlTextLimit.
std::string PercentDecodeUrl(std::string_view text);

// Each prefix's own parser, given the text after the prefix. An FTP URL whose
// login, host or path decodes to a CR or LF does not parse: those parts are
// sent as command arguments, where a line break would start a command of its
// own.
void ParseHttpUrl(std::string_view rest, TSourceFields& fields, TSourceInfo& info);
bool ParseFtpUrl(std::string_view rest, TSourceFields& fields, TSourceInfo& info);
bool ParseTrackerUrl(std::string_view rest, TSourceFields& fields, TSourceInfo& info);
void ParseBtNodeUrl(std::string_view rest, TSourceFields& fields);

// Up to four "."-separated decimal parts at bits 24, 16, 8 and 0 (missing
// parts are 0; each part is read as a leading number, so "1.2.3.4:6881"
// reads as 1.2.3.4). Host byte order. NoAddress for an empty text, a result
// of 0, or a part above 255.
uint32_t ParseDottedAddress(std::string_view text);

// Byte order helpers for the IPv4 values the engine stores in network order.
uint32_t HostToNetwork32(uint32_t value);
uint32_t NetworkToHost32(uint32_t value);
// "a.b.c.d" of an address in network order.
std::string DottedText(uint32_t address_network);

// The leading decimal number of `text` ("8080/x" gives 8080, "" gives 0),
// saturated at 2^31 - 1 so hostile digits cannot overflow.
int32_t LeadingDecimal(std::string_view text);

// The prefix table's kinds are compared without regard to case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

}  // namespace engine
