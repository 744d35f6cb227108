// The texts qzbridge exchanges with a real game server: remote-console packets and the command
// arguments that carry outside text (player names, reasons, messages), and the parsers of the
// server's answers ("status", "dumpuser", "serverinfo", a variable's value) and of its game log.
// Everything here is pure, so the tests and the fuzz target drive it directly.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qzb {

// Longest outside text put into one command argument; the server's command line holds 1024 bytes.
constexpr size_t kArgMax = 200;

// Outside text made safe to stand as one argument of a console command: double quotes become
// single quotes, ";" becomes ":", line breaks and every other control byte become blanks, and
// "//" and "/*" (comment starts) get a blank between their characters, so the text can neither
// end its quoted argument, nor end the command, nor start a second one. Cut to kArgMax bytes.
std::string safeText(std::string_view text);
// safeText in double quotes: the form every outside text takes in a command.
std::string quoted(std::string_view text);
// A game variable name as the server takes it in "set NAME ...": letters, digits and "_", 1 to
// 63 of them.
bool validCvarName(std::string_view name);
// Splits a game console line into its commands at ";" and line breaks outside double quotes, as
// the game's own console does; blanks around each command and empty commands are dropped.
std::vector<std::string> splitCommands(std::string_view line);

// The packet "\xff\xff\xff\xffrcon PASSWORD COMMAND". False (and no packet) when the password is
// empty or holds a blank, a quote or a control byte (the server reads it as one word), or when
// the command holds a line break or NUL (the server reads one line).
bool buildRcon(std::string_view password, std::string_view command, std::string* packet);
// The text of a remote-console answer packet ("\xff\xff\xff\xffprint\n" and the text). False
// for any other packet.
bool replyText(const char* data, size_t length, std::string* text);
// The server's answer to a wrong password.
bool isBadPassword(std::string_view reply);

// One client of the server as "status" lists it.
struct StatusEntry {
    int client = -1;          // the server's client number, 0..63
    std::string name;         // as listed (padding removed)
    std::string address;      // "bot" or "a.b.c.d:port"
    bool connecting = false;  // "CNCT" or "ZMBI" instead of a ping
};
// Parses the answer to "status": the map line and one entry per client. False when the text is
// no status listing.
bool parseStatus(std::string_view text, std::string* map, std::vector<StatusEntry>* entries);
// The values of a "dumpuser" answer: "ip", "cl_guid" and "name" (empty when missing). False
// when the text is no userinfo listing.
bool parseDumpUser(std::string_view text, std::string* ip, std::string* guid, std::string* name);
// The "name value" lines of a "serverinfo" answer. False when the text is no such listing.
bool parseServerInfo(std::string_view text,
                     std::vector<std::pair<std::string, std::string>>* values);
// The value in an answer to a bare variable name: "NAME" is:"VALUE^7"... (the trailing colour
// reset removed). False when the answer is about another name or unknown.
bool parseCvarReply(std::string_view text, std::string_view name, std::string* value);

// The map names in an answer to "fdir *.bsp" (lines "maps/NAME.bsp"), sorted, each once, at
// most kMapsMax. Names are letters, digits and "_-+.()" only, at most 64 bytes: a pak file's
// stranger names are left out. False when the text is no such listing.
constexpr size_t kMapsMax = 256;
bool parseMapFiles(std::string_view text, std::vector<std::string>* maps);

// What one line of the game log says about the clients.
enum class LogKind { kOther, kUserinfo, kConnect, kDisconnect, kInitGame, kShutdown };
struct LogEvent {
    LogKind kind = LogKind::kOther;
    int client = -1;
    std::string name;  // kUserinfo: "n"
    std::string guid;  // kUserinfo: "id" (empty for bots)
    bool bot = false;  // kUserinfo: the userinfo carries a bot skill
};
// Parses one game log line (without its line end), after the "M:SS " time in front.
LogEvent parseLogLine(std::string_view line);
// The value of KEY in an info text "k1\v1\k2\v2..." (a leading "\" is allowed); false when
// absent.
bool infoValue(std::string_view info, std::string_view key, std::string* value);

}  // namespace qzb
