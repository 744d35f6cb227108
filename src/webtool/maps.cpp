// The two map lists of the Command Screen: words of a text list, and lines of the loaded map
// list file. The file is read each time a list is needed (a page view or the "map" button), so
// a number chosen on the page is resolved against the file as it is when the button arrives.
#include "webtool/maps.h"

#include <cstdio>
#include <cstring>

#include "host/state.h"
#include "util/defaults.h"
#include "util/files.h"
#include "util/text.h"

namespace {

bool isSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

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
    char path[QZ_PATH_MAX];
    if (setting[0] == '/') {
        QZ_COPY(path, setting);
    } else {
        QZ_TRF(path, "%s%s", sv->homeDir, setting);
    }
    FILE* f = fopen(path, "rb");
    if (!f) return 0;
    int count = 0;
    bool visiting = true;
    char line[512];
    while (count < WEB_MAP_FILE_MAX && fgets(line, sizeof line, f)) {
        // A line longer than the buffer: the rest is skipped, not taken as another map.
        bool whole = strchr(line, '\n') != nullptr || feof(f);
        if (!whole) {
            int c;
            while ((c = fgetc(f)) != EOF && c != '\n') {
            }
        }
        char* s = line;
        while (*s == ' ' || *s == '\t') s++;
        int n = slen(s);
        while (n > 0 && (isSeparator(s[n - 1]) || static_cast<unsigned char>(s[n - 1]) < 0x20)) n--;
        s[n] = 0;
        if (!n || (s[0] == '/' && s[1] == '/')) continue;
        if (n > WEB_MAP_NAME_MAX) s[WEB_MAP_NAME_MAX] = 0;
        if (visiting) visiting = visit(ctx, count, s);
        count++;
    }
    fclose(f);
    return count;
}
