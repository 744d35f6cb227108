// The list sections of the main configuration file, in the order they are written. Each list's
// owner writes its entries here; a list that is emptied by a line before its entries ("...empty")
// comes back exactly as written however often the file is loaded.
#include "commands/atomic_file.h"
#include "commands/config.h"
#include "host/state.h"
#include "players/cvars.h"
#include "players/names.h"

namespace {

// Bad names: one "qz_sv_badname %d %s\r\n" line (grace seconds, text) per entry. No "empty"
// line: loading adds the file's bad names to those present.
void writeBadNames(stQzSv* sv, AtomicFile& out) {
    for (int i = 0; i < nmBadNameCount(sv); ++i) {
        const stBadName* e = nmBadNameAt(sv, i);
        if (e->text[0]) out.put("qz_sv_badname %d %s\r\n", e->grace, e->text);
    }
}

// Cvar range checks: emptied first, then one line per check, "qz_sv_cvar \"%s\" %s %s %s\r\n"
// for a numeric check (bounds printed with "%%.%dlf" and the check's decimals) or
// "qz_sv_cvar \"%s\" %s \"%s\"\r\n" for a text check.
void writeCvarChecks(stQzSv* sv, AtomicFile& out) { cvarWriteCfg(sv, out); }

// UCON: the two UCON settings, then the profiles ("qz_sv_uconadd %lu \"%s\" \"%s\" \"%s\"\r\n":
// type, mask, user, password) and the ignores ("qz_sv_uconignore \"%s\"\r\n"), each list emptied
// first.
void writeUcon(stQzSv* sv, AtomicFile& out) {
    out.put("qz_sv_usessionlimit %d\r\n", sv->set.uSessionLimit);
    out.put("qz_sv_ucontimeout %d\r\n", sv->set.uConTimeout);
    out.text("qz_sv_uconempty\r\n");
    const stUconState& u = sv->ucon;
    for (int i = 0; i < u.profileCount; ++i) {
        const stUcon& e = u.profiles[i];
        if (e.used) {
            out.put("qz_sv_uconadd %lu \"%s\" \"%s\" \"%s\"\r\n",
                    static_cast<unsigned long>(e.type), e.mask, e.user, e.password);
        }
    }
    out.text("qz_sv_uconignoreempty\r\n");
    for (int i = 0; i < u.ignoreCount; ++i) {
        if (u.ignores[i][0]) out.put("qz_sv_uconignore \"%s\"\r\n", u.ignores[i]);
    }
}

}  // namespace

const CfgSection kCfgSections[] = {
    {"\r\n;Badname List - qz_sv_badname [grace_period_secs] [disallowed text]\r\n", writeBadNames},
    {"\r\n;Cvar Range List - qz_sv_cvar [cvar_name] [type] [value(s)]\r\n", writeCvarChecks},
    {"\r\n;QZ UCON Settings / Lists\r\n", writeUcon},
};
const int kCfgSectionCount = sizeof kCfgSections / sizeof kCfgSections[0];
