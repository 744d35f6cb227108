// Server address and password sources for the bridge programs.
#include "qzbridge/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qzb {

bool parseServer(const std::string& text, std::string* address, int* port) {
    size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? text : text.substr(0, colon);
    int p = 27960;
    if (colon != std::string::npos) {
        const std::string digits = text.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        p = atoi(digits.c_str());
    }
    if (host.empty() || p < 1 || p > 65535) return false;
    *address = host;
    *port = p;
    return true;
}

bool readPassword(const std::string& file, std::string* password, std::string* error) {
    password->clear();
    if (!file.empty()) {
        FILE* f = fopen(file.c_str(), "r");
        if (!f) {
            *error = "cannot read the password file " + file + ": " + strerror(errno);
            return false;
        }
        char line[512];
        bool got = fgets(line, sizeof line, f) != nullptr;
        fclose(f);
        if (got) {
            line[strcspn(line, "\r\n")] = 0;
            *password = line;
            memset(line, 0, sizeof line);
        }
        if (password->empty()) {
            *error = "the password file " + file + " holds no password on its first line";
            return false;
        }
        return true;
    }
    const char* env = getenv(kPasswordVariable);
    if (!env || !*env) {
        *error = std::string("no remote-console password: give --password-file FILE or set ") +
                 kPasswordVariable;
        return false;
    }
    *password = env;
    return true;
}

}  // namespace qzb
