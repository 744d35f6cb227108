// qzadmin: the WebTool administrators file from a script, while the server runs or not.
//   qzadmin HOME add NAME LEVEL   (the key is read from standard input, one line)
//   qzadmin HOME list
//   qzadmin HOME del NAME
// HOME is the module's home directory (the game's home path followed by "/qz"). The key never
// appears in a process list or a shell history; the module notices the changed file at the next
// login.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "util/compare.h"
#include "webtool/admins.h"

namespace {

int usage() {
    fprintf(stderr,
            "usage: qzadmin HOME add NAME view|kick|ban|all   (key on standard input)\n"
            "       qzadmin HOME list\n"
            "       qzadmin HOME del NAME\n");
    return 2;
}

stWebAdmin g_list[WEB_ADMIN_MAX];

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    std::string path = std::string(argv[1]) + "/" + QZ_ADMINS_FILE;
    std::string what = argv[2];
    char why[256] = "";
    int count = 0;
    if (access(path.c_str(), F_OK) == 0 &&
        !webAdminsRead(path.c_str(), g_list, &count, why, sizeof why)) {
        fprintf(stderr, "qzadmin: %s\n", why);
        return 1;
    }
    if (what == "list" && argc == 3) {
        for (int i = 0; i < count; ++i)
            printf("%s %s\n", g_list[i].name, webLevelName(g_list[i].level));
        return 0;
    }
    if (what == "del" && argc == 4) {
        int at = -1;
        for (int i = 0; i < count; ++i) {
            if (trcasecmp(g_list[i].name, argv[3]) == 0) at = i;
        }
        if (at < 0) {
            fprintf(stderr, "qzadmin: no administrator named %s\n", argv[3]);
            return 1;
        }
        memmove(&g_list[at], &g_list[at + 1],
                sizeof(stWebAdmin) * static_cast<size_t>(count - at - 1));
        count--;
    } else if (what == "add" && argc == 5) {
        int level = webLevelOf(argv[4]);
        if (!webAdminNameOk(argv[3]) || level == WEBL_NONE) return usage();
        char key[WEB_ADMIN_KEY_MAX + 3] = "";
        if (!fgets(key, sizeof key, stdin)) {
            fprintf(stderr, "qzadmin: no key on standard input\n");
            return 1;
        }
        size_t n = strcspn(key, "\r\n");
        if (key[n] == 0 && n > WEB_ADMIN_KEY_MAX) {
            fprintf(stderr, "qzadmin: a key has 1 to 127 characters\n");
            return 1;
        }
        key[n] = 0;
        const char* bad = "";
        if (!webAdminKeyOk(key, &bad)) {
            fprintf(stderr, "qzadmin: %s\n", bad);
            return 1;
        }
        int at = count;
        for (int i = 0; i < count; ++i) {
            if (trcasecmp(g_list[i].name, argv[3]) == 0) at = i;
        }
        if (at == WEB_ADMIN_MAX) {
            fprintf(stderr, "qzadmin: the list is full (%d)\n", WEB_ADMIN_MAX);
            return 1;
        }
        bool made = webAdminMake(&g_list[at], argv[3], level, key);
        memset(key, 0, sizeof key);
        if (!made) {
            fprintf(stderr, "qzadmin: the key could not be hashed\n");
            return 1;
        }
        if (at == count) count++;
    } else {
        return usage();
    }
    if (!webAdminsWrite(path.c_str(), g_list, count, why, sizeof why)) {
        fprintf(stderr, "qzadmin: %s\n", why);
        return 1;
    }
    return 0;
}
