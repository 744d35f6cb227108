// What the panel reads from requests itself: application/x-www-form-urlencoded bodies and query
// strings, the Cookie header, and ban files (qzbans.dat) pasted for import. Everything is
// bounded; anything malformed is refused whole rather than half-read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qzpanel {

constexpr size_t kFormFieldsMax = 32;
constexpr size_t kFormValueMax = 8192;
constexpr size_t kFormBodyMax = 1 << 20;  // a pasted ban file for import

struct FormField {
    std::string name;
    std::string value;
};

class Form {
  public:
    // Parses TEXT (a=1&b=x+y%21). False for a bad escape, a field without '=' that is not
    // empty, too many fields or a value over its bound; the form is then empty. A name given
    // twice keeps its first value.
    bool parse(std::string_view text, size_t valueMax = kFormValueMax);
    // The value of NAME, or "" when absent.
    std::string_view get(std::string_view name) const;
    bool has(std::string_view name) const;
    const std::vector<FormField>& fields() const { return fields_; }

  private:
    std::vector<FormField> fields_;
};

// Decodes a %-escaped text ('+' as blank). False for a bad escape or a NUL byte.
bool percentDecode(std::string_view in, std::string* out);

// The value of cookie NAME in a Cookie header ("a=1; b=2"), or false. Values are taken as
// written (the panel's own cookies are hex).
bool cookieValue(std::string_view header, std::string_view name, std::string* out);

// One GUID ban of a server's ban file, as imported into the fleet.
struct ImportedBan {
    std::string guid;  // 32 hexadecimal digits, upper case
    std::string name;  // colour codes kept, cleaned of control bytes
    std::string address;
    std::string reason;
    int64_t banTime = 0;  // unix seconds from the stamp, 0 without one
};

struct ImportResult {
    std::vector<ImportedBan> bans;
    size_t skipped = 0;  // lines that are not GUID bans in force (masks, names, unbanned)
    size_t damaged = 0;  // lines that do not parse
};

constexpr size_t kImportMax = 100000;  // bans taken from one file

// Reads the GUID bans in force from the text of a ban file: lines
// "[DD.MM.YYYY HH:MM:SS] KEY "NAME" "ADDRESS" REASON" (stamp optional, '#' for an unbanned
// record). Keys other than 32 hexadecimal digits are skipped.
void parseBanFile(std::string_view text, ImportResult* out);

}  // namespace qzpanel
