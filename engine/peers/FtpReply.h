#pragma once
// FtpReply: the pure parts of the FTP web source: finding one complete reply
// in the bytes of a control connection, reading the address of a passive-mode
// reply, and building the commands. Nothing here does I/O: bytes go in, a
// record or a text comes out, and every input is bounded (a reply that does
// not end within MaxReplyBytes is an error, not a wait).
//
// Owner: none (free functions). Thread: any.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

struct FtpReply {
    int32_t code = 0;  // the three-digit reply code
    std::string text;  // the first line after the code and its separator
};

// Where the first reply in `data` ends.
struct FtpReplyScan {
    enum class Result { Incomplete, Complete, Malformed };
    Result result = Result::Incomplete;
    size_t consumed = 0;  // bytes of the reply, its last line end included
};

// Replies, a multi-line welcome included, are short; a control connection
// that sends this much without ending a reply is not an FTP server.
inline constexpr size_t MaxFtpReplyBytes = 16384;

// Finds the first complete reply (RFC 959, 4.2: "Thus the format for
// multi-line replies is that the first line will begin with the exact
// required reply code, followed immediately by a Hyphen ... The last line
// will begin with the same code, followed immediately by Space"). Lines end
// with LF, an optional CR before it is dropped. A reply whose first line does
// not start with three digits followed by a space, a hyphen or the line end
// is malformed, and so is one still open after MaxFtpReplyBytes. Whatever
// follows the reply stays for the next call.
FtpReplyScan FindFtpReply(const uint8_t* data, size_t size, FtpReply* reply);

// The data address of a 227 reply's text: the text between the first "(" and
// the next ")", split at commas and spaces (empty fields skipped), must give
// exactly six decimal fields h1..h4, p1, p2, each 0..255, and a port
// p1 * 256 + p2 in 1..65535.
struct PasvAddress {
    uint32_t host = 0;  // host order, as the reply names it (only checked)
    int32_t port = 0;
};
bool ParsePasvReply(std::string_view text, PasvAddress* address);

// "<verb> <argument>\r\n", or "<verb>\r\n" without an argument. Empty when
// the argument holds CR, LF or NUL: it would end the command early and let
// the rest of it through as a command of its own.
std::string BuildFtpCommand(std::string_view verb, std::string_view argument = {});

// The directory of a path: up to, not including, its last "/"; "/" when that
// is the first character or there is none.
std::string FtpDirectoryOf(std::string_view path);
// The last segment of a path (the file name the size command asks for).
std::string FtpFileNameOf(std::string_view path);

// The size in a 213 reply's text (leading decimal digits); -1 when the text
// does not start with a digit or the number does not fit 63 bits.
int64_t ParseFtpSize(std::string_view text);

}  // namespace engine
