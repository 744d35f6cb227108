// Packets from a hostile master: the input is cut into datagrams (two length bytes each) that
// go to the file packet handler (with a transfer waiting for its header), the directive handler,
// the request and control line parsers and the splitting of signed answers. Every transfer is
// ended afterwards, so a leak or a write past a buffer shows.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "commands/settings.h"
#include "host/state.h"
#include "remote/mastauth.h"
#include "remote/mastnet.h"
#include "remote/packets.h"
#include "remote/transfer.h"
#include "tmpdir.h"
#include "util/files.h"

namespace {

void quietPrint(const char*) {}
void quietSend(int, const char*, int) {}
int quietCall(const char*, const char*) { return 1; }


stQzSv* state() {
    static stQzSv* sv = [] {
        const std::string& dir = qzfuzz::makeRunDirectory("qzfuzzmaster-");
        auto* s = new stQzSv();
        settingsDefaults(s);
        s->host.print = &quietPrint;
        s->host.sendClient = &quietSend;
        s->host.hostCall = &quietCall;
        s->enabled = 1;
        snprintf(s->homeDir, sizeof s->homeDir, "%s/", dir.c_str());
        setHomeDir(s->homeDir);
        mkdir(homePath("dll"), 0755);
        s->set.lan = 0;
        // Masters are loaded from a list naming one on loopback (resolved at once).
        FILE* fp = fopen(homePath("qzns.dat"), "wb");
        if (fp) {
            fputs("<p> S 2 127.0.0.1 27960 0\r\n", fp);
            fclose(fp);
        }
        remoteStart(s);
        remoteResolve(s);
        return s;
    }();
    return sv;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    stQzSv* sv = state();
    const sockaddr_in* from = remoteMasterAddr(sv, 0);
    if (!from) return 0;
    dlStart(sv, 0, "qzns.dat", "fuzzed.dat", QZ_DLP_DATA, 1);
    dlFrame(sv, 0);  // sends the request: the transfer waits for its header
    size_t at = 0;
    while (at + 3 <= size) {
        int kind = data[at] % 4;
        size_t len = (static_cast<size_t>(data[at + 1]) << 8 | data[at + 2]) % (QZ_PKT_MAX + 1);
        at += 3;
        if (len > size - at) len = size - at;
        const char* body = reinterpret_cast<const char*>(data + at);
        int n = static_cast<int>(len);
        if (kind == 0) {
            dlPacket(sv, 0, body, n, from);
        } else if (kind == 1) {
            remoteDirectives(sv, body, n);
        } else if (kind == 2) {
            QzRequest r;
            pktRequestParse(body, n, &r);
            // The proofs of signed answers, and the header they leave for the parser.
            QzDirectiveProof dp;
            maDirectiveSplit(body, n, &dp);
            QzHeaderProof hp;
            if (maHeaderSplit(body, n, &hp) && hp.headLength > 4) {
                QzFileHeader h;
                int digits = 0;
                pktHeaderParse(body + 4, hp.headLength - 4, &h, &digits);
            }
        } else {
            uint32_t id, block;
            pktControlParse(body, n, &id, &block);
            remotePacket(sv, body, n, from);
        }
        at += len;
    }
    for (stQzDownload& d : sv->remote.dl) dlEnd(sv, &d);
    sv->remote.outq.count = 0;
    sv->cmd.kicksSuspended = 0;
    return 0;
}
