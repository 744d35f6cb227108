// qzadmin: the WebTool administrators file from a script, while the server runs or not.
//   qzadmin HOME add NAME LEVEL   (the key is read from standard input, one line)
//   qzadmin HOME list
//   qzadmin HOME del NAME
// HOME is the module's home directory (the game's home path followed by "/qz"). The key never
// appears in a process list or a shell history; the module notices the changed file at the next
// login. A change keeps every other line of the file (comments, lines it cannot parse) and is
// recorded in the module's audit log with the origin "qzadmin" and the user who ran it.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "commands/dispatch.h"
#include "media/audit.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/text.h"
#include "webtool/adminfile.h"
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

// Appends the record of a change to HOME's audit log; a record that cannot be written is said on
// standard error (the change itself stands, as the module's actions do).
void record(const std::string& home, const char* action, const std::string& command, int result,
            const char* why) {
    const struct passwd* pw = getpwuid(geteuid());
    char user[64];
    if (pw && pw->pw_name) {
        QZ_COPY(user, pw->pw_name);
    } else {
        QZ_TRF(user, "uid %u", static_cast<unsigned>(geteuid()));
    }
    QzOrigin origin = qzOrigin(QZ_ORIGIN_QZADMIN, 0, user, nullptr, nullptr);
    char line[QZ_AUDIT_LINE_MAX];
    int len = auditFormat(line, qz::cap(line), static_cast<long long>(qzTime()), &origin, action,
                          nullptr, command.c_str(), result, why);
    char problem[256];
    std::string path = home + "/" + QZ_AUDIT_FILE;
    if (!auditAppendFile(path.c_str(), line, len, problem, qz::cap(problem)))
        fprintf(stderr, "qzadmin: the audit record could not be written: %s\n", problem);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    std::string home = argv[1];
    std::string path = home + "/" + QZ_ADMINS_FILE;
    std::string what = argv[2];
    // A mistyped home must not look like a home without administrators.
    struct stat st {};
    if (stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr,
                "qzadmin: %s is not a directory (HOME is the module's home: the game's "
                "home path followed by /qz)\n",
                home.c_str());
        return 1;
    }
    char why[256] = "";
    if (what == "list" && argc == 3) {
        int count = 0;
        if (access(path.c_str(), F_OK) == 0 &&
            !webAdminsRead(path.c_str(), g_list, &count, why, sizeof why)) {
            fprintf(stderr, "qzadmin: %s\n", why);
            return 1;
        }
        for (int i = 0; i < count; ++i)
            printf("%s %s\n", g_list[i].name, webLevelName(g_list[i].level));
        return 0;
    }
    bool found = false;
    if (what == "del" && argc == 4) {
        std::string command = std::string("del ") + argv[3];
        if (!webAdminsEdit(path.c_str(), argv[3], nullptr, &found, why, sizeof why)) {
            fprintf(stderr, "qzadmin: %s\n", why);
            record(home, "admin-del", command, QZ_AUDIT_FAILED, why);
            return 1;
        }
        if (!found) {
            fprintf(stderr, "qzadmin: no administrator named %s\n", argv[3]);
            return 1;
        }
        char said[128];
        QZ_TRF(said, "administrator %s removed", argv[3]);
        record(home, "admin-del", command, QZ_AUDIT_DONE, said);
        return 0;
    }
    if (what == "add" && argc == 5) {
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
        stWebAdmin a;
        bool made = webAdminMake(&a, argv[3], level, key);
        memset(key, 0, sizeof key);
        if (!made) {
            fprintf(stderr, "qzadmin: the key could not be hashed\n");
            return 1;
        }
        // The key is never recorded: the command names the administrator and his level.
        std::string command = std::string("add ") + argv[3] + " " + webLevelName(level);
        if (!webAdminsEdit(path.c_str(), argv[3], &a, &found, why, sizeof why)) {
            fprintf(stderr, "qzadmin: %s\n", why);
            record(home, "admin-add", command, QZ_AUDIT_FAILED, why);
            return 1;
        }
        char said[128];
        QZ_TRF(said, "administrator %s %s (level %s)", argv[3], found ? "replaced" : "added",
               webLevelName(level));
        record(home, "admin-add", command, QZ_AUDIT_DONE, said);
        return 0;
    }
    return usage();
}
