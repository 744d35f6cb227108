// Answers forged as the master's: the test's own socket stands at the master's address (as a
// forged source address would) and sends directives and file packets with and without the
// request's nonce and a valid signature. Only a signed answer to a waiting request changes
// anything; everything else is counted and refused.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "qzmaster/master.h"
#include "remote/install.h"
#include "remote/mastauth.h"
#include "remote/masters.h"
#include "remote/outq.h"
#include "remote/packets.h"
#include "support/module_fixture.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string tagged(char letter, const std::string& body) {
    std::string out(QZ_TAG_LEN, '\0');
    pktTag(out.data(), letter);
    return out + body;
}

std::string shaHex(const std::string& data) {
    unsigned char sha[32];
    unsigned len = 0;
    EVP_Digest(data.data(), data.size(), sha, &len, EVP_sha256(), nullptr);
    static const char* d = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < len; ++i) {
        s += d[sha[i] >> 4];
        s += d[sha[i] & 15];
    }
    return s;
}

// The master's side, played by the test: a socket at the address the module's list names,
// the master's key and a stranger's key.
class ForgedMaster : public ModuleTest {
  protected:
    void configure(sim::SimHost&) override {
        std::string qz = gameHome() + "/qz";
        mkdir(qz.c_str(), 0755);
        std::string pub, strangerPub;
        ASSERT_TRUE(qzm::makeKeyPair(&key_, &pub));
        ASSERT_TRUE(qzm::makeKeyPair(&strangerKey_, &strangerPub));
        std::ofstream(qz + "/qzsvkey.pub") << pub << "\n";
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        socklen_t len = sizeof at;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &len);
        stQzMaster list[1];
        memset(list, 0, sizeof list);
        list[0].number = 2;
        list[0].port = ntohs(at.sin_port);
        snprintf(list[0].host, sizeof list[0].host, "127.0.0.1");
        std::string buf(16384, '\0');
        long n = masterFormat(buf.data(), static_cast<long>(buf.size()), 1, list);
        list_.assign(buf.data(), static_cast<size_t>(n));
        std::ofstream(qz + "/qzns.dat", std::ios::binary) << list_;
    }
    void TearDown() override {
        if (fd_ >= 0) close(fd_);
        ModuleTest::TearDown();
    }
    // The module's address, from its start-up line.
    sockaddr_in module() {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (const std::string& l : host().output()) {
            size_t at = l.find("QZ Master: Listening for UDP on ");
            if (at != std::string::npos) {
                to.sin_port = htons(static_cast<uint16_t>(atoi(l.c_str() + at + 32)));
            }
        }
        return to;
    }
    void send(const std::string& packet) {
        sockaddr_in to = module();
        sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        // The module reads its socket ten times a second while nothing waits.
        host().advance(150);
    }
    // The next packet the module sent of type letter (frames run while waiting); "" when none.
    std::string receive(char letter) {
        char buf[QZ_PKT_MAX];
        for (int i = 0; i < 400; ++i) {
            ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0 && pktType(buf, static_cast<int>(n)) == letter) {
                return std::string(buf + QZ_TAG_LEN, static_cast<size_t>(n - QZ_TAG_LEN));
            }
            if (n <= 0) host().advance(5);
        }
        return "";
    }
    static std::string sign(const std::string& keyHex, const std::string& text) {
        unsigned char key[32];
        EXPECT_TRUE(qzHexBytes(keyHex.c_str(), key, 32));
        char sig[QZ_SIG_HEX + 1];
        EXPECT_TRUE(maSign(key, text.data(), text.size(), sig));
        return sig;
    }
    // A directive packet answering nonce, signed with keyHex.
    static std::string directives(const std::string& nonce, const std::string& lines,
                                  const std::string& keyHex) {
        std::string body = "nonce " + nonce + "\n" + lines;
        return tagged(QZ_PT_DIRECTIVE, body + "sig " + sign(keyHex, body) + "\n");
    }
    // A file header for name, answering nonce, describing data, signed with keyHex.
    static std::string header(const std::string& nonce, const std::string& name, uint32_t id,
                              const std::string& sizes, const std::string& data,
                              const std::string& keyHex) {
        std::string body = "VRFH " + std::to_string(id) + " " + sizes + " " + name + " " + nonce +
                           " " + shaHex(data);
        return tagged(QZ_PT_FILE, body + " " + sign(keyHex, body));
    }
    static std::string blocks(uint32_t id, const std::string& data, int index) {
        char out[QZ_PKT_MAX];
        int len = pktBlockLength(static_cast<uint32_t>(data.size()), static_cast<uint32_t>(index));
        int n = pktBlockFormat(out, sizeof out, id, static_cast<uint32_t>(index),
                               data.data() + index * QZ_BLOCK_SIZE, len);
        return std::string(out, static_cast<size_t>(n));
    }
    static std::string deflated(const std::string& raw) {
        uLongf size = compressBound(raw.size());
        std::string out(size, '\0');
        compress(reinterpret_cast<Bytef*>(out.data()), &size,
                 reinterpret_cast<const Bytef*>(raw.data()), raw.size());
        out.resize(size);
        return out;
    }
    static std::string sizes(const std::string& packed, const std::string& raw) {
        char text[40];
        snprintf(text, sizeof text, "%zX %zX", packed.size(), raw.size());
        return text;
    }
    // Sends a whole file answering the request nonce for name.
    void sendFile(const std::string& nonce, const std::string& name, const std::string& raw,
                  const std::string& keyHex, uint32_t id = 4242) {
        std::string packed = deflated(raw);
        send(header(nonce, name, id, sizes(packed, raw), packed, keyHex));
        for (int i = 0; i < static_cast<int>(pktBlockCount(static_cast<uint32_t>(packed.size())));
             ++i) {
            send(blocks(id, packed, i));
        }
    }
    // The nonce of a request line (after the key's '-').
    static std::string requestNonce(const std::string& line) {
        QzRequest r;
        if (!pktRequestParse(line.data(), static_cast<int>(line.size()), &r)) return "";
        const char* dash = strrchr(r.key, '-');
        return dash ? dash + 1 : "";
    }
    int count(const std::string& text) {
        int n = 0;
        for (const std::string& l : host().output()) n += l.find(text) != std::string::npos;
        return n;
    }
    int refusedLines() { return count("Master packet refused"); }

    int fd_ = -1;
    std::string key_, strangerKey_, list_;
};

const char* kSuspended =
    "Kicking for new violations has been temporarily disabled per QZ Master Servers - use the "
    "qz_sv_enablekicks command to manually re-enable kicks.";

}  // namespace

TEST_F(ForgedMaster, DirectivesAreObeyedOnlyAsTheSignedAnswerToTheWaitingQuery) {
    run("qz_sv_Update");
    std::string query = receive(QZ_PT_QUERY);
    size_t at = query.find(" nonce ");
    ASSERT_NE(at, std::string::npos) << query;
    std::string nonce = query.substr(at + 7);
    ASSERT_EQ(nonce.size(), 16u);
    // Without nonce and signature, and signed by the master for a query never sent.
    send(tagged(QZ_PT_DIRECTIVE, "suspend violation\nsuspend restriction\nignore technical\n"));
    send(directives("0123456789abcdef", "suspend violation\n", key_));
    EXPECT_FALSE(host().contains(kSuspended));
    EXPECT_TRUE(host().contains("Master packet refused"));
    std::string wrong = nonce;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    // The right nonce signed by a stranger, another nonce signed by the master, a changed line.
    send(directives(nonce, "suspend violation\n", strangerKey_));
    send(directives(wrong, "suspend violation\n", key_));
    std::string changed = directives(nonce, "suspend restriction\n", key_);
    changed.replace(changed.find("restriction"), 11, "violation\n\n");
    send(changed);
    EXPECT_FALSE(host().contains(kSuspended));

    std::string genuine = directives(nonce, "suspend violation\n", key_);
    send(genuine);
    EXPECT_TRUE(host().contains(kSuspended));
    EXPECT_TRUE(anyLineContains(run("qz_sv_EnableKicks"),
                                "qz_sv_enablekicks: Kicking for violations is now enabled"));
    // The same answer again (a replay) finds no query waiting.
    int before = count(kSuspended);
    send(genuine);
    EXPECT_EQ(count(kSuspended), before);
    EXPECT_TRUE(
        anyLineContains(run("qz_sv_EnableKicks"), "Kicking for violations was already enabled"));
}

// The directive obeyed is in the audit log with its master as the origin; refused packets
// are not.
TEST_F(ForgedMaster, AnObeyedDirectiveIsRecordedWithItsMaster) {
    run("qz_sv_Update");
    std::string query = receive(QZ_PT_QUERY);
    size_t at = query.find(" nonce ");
    ASSERT_NE(at, std::string::npos) << query;
    std::string nonce = query.substr(at + 7);
    send(directives(nonce, "suspend restriction\n", strangerKey_));
    send(directives(nonce, "suspend violation\n", key_));
    ASSERT_TRUE(host().contains(kSuspended));
    std::ifstream in(home() + "qzaudit.log");
    std::string log((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(log.find("\"origin\":{\"kind\":\"master\",\"slot\":1,\"name\":\""), std::string::npos)
        << log;
    EXPECT_NE(log.find("\"action\":\"directive\",\"command\":\"suspend violation\","
                       "\"result\":\"done\""),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("suspend restriction"), std::string::npos);
}

TEST_F(ForgedMaster, AForgedMasterListChangesNothingAndABadSignedOneIsNotKept) {
    run("qz_sv_Update");
    std::string request = receive(QZ_PT_REQUEST);
    std::string nonce = requestNonce(request);
    ASSERT_EQ(nonce.size(), 16u) << request;
    // The attacker's list, sent before the master answers: unsigned, then signed by a stranger,
    // then with another nonce.
    std::string evil =
        "\r\nTHIS IS A GENERATED FILE - ** DO NOT EDIT **\r\n\r\n"
        "<p> S 2 198.51.100.7 27960 0\r\n";
    std::string packed = deflated(evil);
    std::string plain = header(nonce, "qzns.dat", 99, sizes(packed, evil), packed, key_);
    send(plain.substr(0, plain.size() - QZ_SIG_HEX - 1));
    sendFile(nonce, "qzns.dat", evil, strangerKey_, 99);
    sendFile("00000000deadbeef", "qzns.dat", evil, key_, 98);
    EXPECT_EQ(slurp(home() + "qzns.dat"), list_);
    EXPECT_FALSE(host().contains("Received Download File: qzns.dat"));

    // The master itself sends a list that does not parse: the good one stays on disk.
    sendFile(nonce, "qzns.dat", "<p> S 2 h\r\n", key_, 97);
    EXPECT_TRUE(host().contains("ERROR: Corrupted Data Buffer (qzns.dat)"));
    EXPECT_EQ(slurp(home() + "qzns.dat"), list_);
}

TEST_F(ForgedMaster, BlocksThatAreNotTheSignedDataAreRefused) {
    run("qz_sv_Update");
    std::string nonce = requestNonce(receive(QZ_PT_REQUEST));
    ASSERT_EQ(nonce.size(), 16u);
    std::string good = list_;
    std::string packed = deflated(good);
    // A signed header, but the blocks carry other data of the same length.
    std::string other = packed;
    other[other.size() / 2] ^= 0x20;
    send(header(nonce, "qzns.dat", 55, sizes(packed, good), packed, key_));
    send(blocks(55, other, 0));
    EXPECT_TRUE(host().contains("File Corrupted During Transmission"));
    EXPECT_FALSE(host().contains("Received Download File: qzns.dat"));
}

TEST_F(ForgedMaster, AFileTooLargeIsReportedWithItsNameAndItsDigits) {
    run("qz_sv_Update");
    std::string nonce = requestNonce(receive(QZ_PT_REQUEST));
    ASSERT_EQ(nonce.size(), 16u);
    send(header(nonce, "qzns.dat", 7, "12345678 10", "", key_));
    EXPECT_TRUE(host().contains("reports file [qzns.dat] is too large to handle [8 hex digits]"))
        << ::testing::PrintToString(host().output());
    EXPECT_FALSE(host().contains("Unknown File ID"));
}

TEST_F(ForgedMaster, ASevenDigitSizeOverTheLimitIsReportedAsSevenDigits) {
    run("qz_sv_Update");
    std::string nonce = requestNonce(receive(QZ_PT_REQUEST));
    ASSERT_EQ(nonce.size(), 16u);
    send(header(nonce, "qzns.dat", 7, "3000001 10", "", key_));
    EXPECT_TRUE(host().contains("reports file [qzns.dat] is too large to handle [7 hex digits]"));
}

TEST_F(ForgedMaster, RefusalsAreCountedButLoggedAtMostOnceInTenSeconds) {
    run("qz_sv_Update");
    ASSERT_NE(receive(QZ_PT_QUERY), "");
    for (int i = 0; i < 20; ++i) send(tagged(QZ_PT_DIRECTIVE, "suspend violation\n"));
    EXPECT_EQ(refusedLines(), 1);
    host().advance(10000);
    send(tagged(QZ_PT_DIRECTIVE, "suspend violation\n"));
    EXPECT_EQ(refusedLines(), 2);
    EXPECT_TRUE(host().contains("[21 refused, 19 not logged]"))
        << ::testing::PrintToString(host().output());
}

// The suspensions the masters order are the ones the checks read.
class MasterSuspension : public ForgedMaster {};

TEST_F(MasterSuspension, RestrictionsAndTechnicalViolationsNoLongerKick) {
    run("qz_sv_Update");
    std::string query = receive(QZ_PT_QUERY);
    std::string nonce = query.substr(query.find(" nonce ") + 7);
    send(directives(nonce, "suspend restriction\nignore technical\n", key_));
    ASSERT_TRUE(
        host().contains("Restriction Kicking is temporarily disabled per QZ Master Servers"));
    // A name with Extended ASCII characters is a restriction; a T1 report a technical one.
    run("sim_connect \"Bj\xC3\xB6rn\" 0123456789ABCDEF0123456789ABCDEF 1.2.3.4:27960");
    EXPECT_NE(host().client(1), nullptr);
    run("sim_connect \"Bob\" FEDCBA9876543210FEDCBA9876543210 1.2.3.5:27960");
    auto lines = run("sim_violation 2 19 77 T1");
    EXPECT_TRUE(anyLineContains(lines, "Technical Violations Temporarily Ignored"));
    EXPECT_NE(host().client(2), nullptr);
    // "resume" lifts both.
    query = receive(QZ_PT_QUERY);  // none is waiting: the next check sends one
    run("qz_sv_Update");
    query = receive(QZ_PT_QUERY);
    nonce = query.substr(query.find(" nonce ") + 7);
    send(directives(nonce, "resume\n", key_));
    run("sim_violation 2 19 78 T1");
    EXPECT_EQ(host().client(2), nullptr);
}

TEST(MasterKeys, ThePrivateKeyIsForItsOwnerAndNothingWrittenIsAFailure) {
    std::string dir = std::string(::testing::TempDir()) + "qzkeys-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    std::string error;
    ASSERT_TRUE(qzm::writeKeyPair(dir + "/k", &error)) << error;
    struct stat st;
    ASSERT_EQ(stat((dir + "/k.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    unsigned char key[32];
    EXPECT_TRUE(qzReadKey((dir + "/k.pub").c_str(), key));
    std::string before = slurp(dir + "/k.key");
    EXPECT_FALSE(qzm::writeKeyPair(dir + "/k", &error));  // never over an existing key
    EXPECT_EQ(slurp(dir + "/k.key"), before);
    EXPECT_FALSE(qzm::writeKeyPair(dir + "/missing/k", &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
    remove((dir + "/k.key").c_str());
    remove((dir + "/k.pub").c_str());
    rmdir(dir.c_str());
}
