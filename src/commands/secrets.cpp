// Masking of secrets in command lines. The rows decide what is secret: a setting row with
// SETF_SECRET hides its value, a command row with cmdfSecretFrom(n) hides its arguments from the
// nth on, so a new secret is one flag in a table.
#include "commands/secrets.h"

#include "commands/lookup.h"
#include "commands/settings.h"
#include "commands/table.h"
#include "util/text.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The end of the argument that starts at p: a double-quoted text or a word.
const char* argEnd(const char* p) {
    if (*p == '"') {
        p++;
        while (*p && *p != '"') p++;
        return *p ? p + 1 : p;
    }
    while (*p && !isBlank(*p)) p++;
    return p;
}

}  // namespace

const char* cmdMaskSecrets(const char* line, char* out, int size) {
    if (size <= 0) return out;
    out[0] = 0;
    if (!line) return out;
    const char* p = line;
    while (isBlank(*p)) p++;
    const char* wordEnd = argEnd(p);
    char word[128];
    int wordLen = static_cast<int>(wordEnd - p);
    trcpyz(word, p, wordLen < qz::cap(word) - 1 ? wordLen : qz::cap(word) - 1);
    const CmdRow* row = nullptr;
    const SettingRow* setting = nullptr;
    lookupWord(word, &row, &setting);
    int firstSecret = 0;  // 1-based argument number, 0: nothing secret
    if (setting && (setting->flags & SETF_SECRET)) firstSecret = 1;
    if (row) firstSecret = (row->flags >> CMDF_SECRET_SHIFT) & 15;
    if (!firstSecret) {
        trcpyz(out, line, size - 1);
        return out;
    }
    // The arguments before the first secret one stand as typed.
    const char* keep = wordEnd;
    for (int arg = 1; arg < firstSecret; ++arg) {
        while (isBlank(*keep)) keep++;
        keep = argEnd(keep);
    }
    const char* rest = keep;
    while (isBlank(*rest)) rest++;
    int n = static_cast<int>(keep - line);
    trcpyz(out, line, n < size - 1 ? n : size - 1);
    if (*rest) {
        int at = slen(out);
        trf(out + at, size - at, " %s", QZ_SECRET_SHOWN);
    }
    return out;
}
