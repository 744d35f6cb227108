// The two map lists of the Command Screen: words of a text list, and lines of the loaded map
// list file. The file is read each time a list is needed (a page view or the "map" button), so
// a number chosen on the page is resolved against the file as it is when the button arrives.
#include "webtool/maps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "util/compare.h"
#include "util/defaults.h"
#include "util/files.h"
#include "util/text.h"

namespace {

// Bytes read from the map list file at most: far more than 256 names of 150 characters with
// comments, and little enough that a wrong file (a log, a pak) cannot stall the frame.
constexpr long kMapFileBytes = 256 * 1024;

bool isSeparator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

bool web_map_file_refused(const char* name) {
    const char* base = strrchr(name, '/');
    base = base ? base + 1 : name;
    int n = slen(base);
    bool own = trncasecmp(base, "qz", 2) == 0;
    bool cfg = n >= 4 && trcasecmp(base + n - 4, ".cfg") == 0;
    bool log = trncasecmp(name, "svlogs/", 7) == 0 || trncasecmp(name, "./svlogs/", 9) == 0;
    return own || cfg || log;
}

void web_maps_path_rule(stQzSv* sv, const SettingRow*) {
    char* value = sv->set.httpMapsPath;
    if (!*value) return;
    if (homeNameOk(value) && !web_map_file_refused(value)) return;
    svMsg(sv,
          "qz_sv_HttpMapsPath: \"%s\" is outside the home directory or one of the module's "
          "own or configuration files; refused",
          value);
    value[0] = 0;
}

void web_maplist_select(stQzSv* sv) {
    const char* def = sv->web.defmaplist ? sv->web.defmaplist : kMapListInitial;
    sv->web.maplist = sv->set.httpMaps[0] ? sv->set.httpMaps : def;
}

int web_map_words(const char* list, WebMapVisit visit, void* ctx) {
    int count = 0;
    const char* p = list ? list : "";
    while (count < WEB_MAP_WORDS) {
        while (isSeparator(*p)) p++;
        if (!*p) break;
        const char* start = p;
        if (*p == '"') {
            start = ++p;
            while (*p && *p != '"') p++;
        } else {
            while (*p && !isSeparator(*p)) p++;
        }
        int n = static_cast<int>(p - start);
        if (*p == '"') p++;
        char word[WEB_MAP_NAME_MAX + 1];
        trcpyz(word, start, n < WEB_MAP_NAME_MAX ? n : WEB_MAP_NAME_MAX);
        if (!visit(ctx, count++, word)) break;
    }
    return count;
}

int web_map_file(stQzSv* sv, WebMapVisit visit, void* ctx) {
    const char* setting = sv->set.httpMapsPath;
    if (!setting[0]) return 0;
    // The WebTool shows what it reads, so the file must lie inside the home directory and be
    // none of the module's own files (configuration, lists, logs), which hold keys and
    // passwords.
    if (!homeNameOk(setting) || web_map_file_refused(setting)) return 0;
    char path[QZ_PATH_MAX];
    QZ_TRF(path, "%s%s", sv->homeDir, setting);
    // homeOpen refuses a FIFO or a device named by mistake, which would make the read wait
    // inside a frame call, and a link that leads out of the home directory.
    FILE* f = homeOpen(path, "rb");
    if (!f) return 0;
    int count = 0;
    bool visiting = true;
    // Characters of a line past the buffer are dropped; the name is cut to its maximum anyway.
    char line[512];
    int n = 0;
    for (long bytes = 0; count < WEB_MAP_FILE_MAX; ++bytes) {
        int c = bytes < kMapFileBytes ? getc(f) : EOF;
        if (c != EOF && c != '\n') {
            if (n < static_cast<int>(sizeof line) - 1) line[n++] = static_cast<char>(c);
            continue;
        }
        line[n] = 0;
        n = 0;
        char* s = line;
        while (*s == ' ' || *s == '\t') s++;
        int len = slen(s);
        while (len > 0 &&
               (isSeparator(s[len - 1]) || static_cast<unsigned char>(s[len - 1]) < 0x20)) {
            len--;
        }
        s[len] = 0;
        if (len && !(s[0] == '/' && s[1] == '/')) {
            if (len > WEB_MAP_NAME_MAX) s[WEB_MAP_NAME_MAX] = 0;
            if (visiting) visiting = visit(ctx, count, s);
            count++;
        }
        if (c == EOF) break;
    }
    fclose(f);
    return count;
}
