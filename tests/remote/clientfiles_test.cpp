// Module files served to client modules, client uploads and the update grace kick, driven
// through the simulated game server with the clock under the test's control.
#include "remote/clientfiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "players/players_fixture.h"
#include "support/case_name.h"

namespace {

// Bytes that hardly compress, so that a file takes several blocks.
std::string noise(size_t size, unsigned seed = 12345) {
    std::string out(size, '\0');
    unsigned x = seed;
    for (char& c : out) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return out;
}

std::string inflate(const std::string& packed, size_t rawSize) {
    std::string raw(rawSize + 1, '\0');
    uLongf got = raw.size();
    if (uncompress(reinterpret_cast<Bytef*>(raw.data()), &got,
                   reinterpret_cast<const Bytef*>(packed.data()), packed.size()) != Z_OK) {
        return "<does not inflate>";
    }
    raw.resize(got);
    return raw;
}

std::string deflate(const std::string& raw) {
    uLongf size = compressBound(raw.size());
    std::string out(size, '\0');
    compress(reinterpret_cast<Bytef*>(out.data()), &size,
             reinterpret_cast<const Bytef*>(raw.data()), raw.size());
    out.resize(size);
    return out;
}

std::string be32(uint32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
    return out;
}

std::string hex(size_t v) {
    char text[16];
    snprintf(text, sizeof text, "%zX", v);
    return text;
}

constexpr const char* kStored = "dll/wc001002.dll";

class ClientFiles : public PlayersTest {
  protected:
    void SetUp() override {
        PlayersTest::SetUp();
        run("QZ_SV_SETCLVER 1.002");
        run("qz_sv_UpdateGrace 600");
    }
    void TearDown() override {
        cfTestFault(0);
        PlayersTest::TearDown();
    }
    void store(const std::string& bytes) {
        std::filesystem::create_directories(home() + "dll");
        writeFile(kStored, bytes);
    }
    // Runs frames 50 ms apart until a line contains text; returns every line of those frames.
    std::vector<std::string> framesUntil(const std::string& text, int frames = 400) {
        std::vector<std::string> all;
        for (int i = 0; i < frames; ++i) {
            auto lines = run("sim_advance 50");
            all.insert(all.end(), lines.begin(), lines.end());
            if (anyLineContains(lines, text)) break;
        }
        return all;
    }
    // A client module that answers nothing by itself: the test types its packets.
    void joinSilent(const std::string& name, const std::string& guid, const std::string& address) {
        run("sim_clientmodule off");
        join(name, guid, address);
        run("sim_clientmodule on");
    }
};

TEST_F(ClientFiles, AnOutdatedClientFetchesTheStoredVersionAndPlaysWithIt) {
    const std::string module = noise(20000);
    store(module);
    joinSilent("Alice", kGuidA, "1.2.3.4:27960");
    sim::SimClient* alice = host().client(1);
    alice->answers = true;
    alice->fetchUpdates = true;
    auto lines = run("sim_packet 1 QZ_INIT 1.000 P");
    EXPECT_TRUE(hasLine(lines,
                        "Download request for dll/wc001002.dll (c 1000 -> 1002) from (slot# "
                        "1 [1,1]) Alice " +
                            std::string(kGuidA)));
    EXPECT_TRUE(anyLineContains(lines, "[to 1] QVRFH 1 "));
    lines = framesUntil("File dll/wc001002.dll sent to");
    EXPECT_TRUE(hasLine(
        lines, "File dll/wc001002.dll sent to (slot# 1 [1,1]) Alice " + std::string(kGuidA)));
    ASSERT_TRUE(alice->dlDone);
    EXPECT_EQ(alice->dlName, "wc001002.dll");
    EXPECT_EQ(alice->dlRaw, module.size());
    EXPECT_EQ(inflate(alice->dlData, module.size()), module);
    EXPECT_EQ(alice->clientVersion, "1.002");
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), " OK   "));
}

TEST_F(ClientFiles, SimAutoupdateMakesConnectingClientsFetchTheRequiredVersion) {
    store(noise(2500));
    run("sim_autoupdate on");
    auto lines = join("Alice", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(anyLineContains(lines, "Download request for dll/wc001002.dll (c 1000 -> 1002)"));
    EXPECT_FALSE(anyLineContains(lines, "Forcing Player to Spec Mode"));
    lines = framesUntil("File dll/wc001002.dll sent to");
    EXPECT_TRUE(anyLineContains(lines, "[to 1] QQZ_GO"));
    EXPECT_EQ(host().client(1)->clientVersion, "1.002");
    run("sim_autoupdate off");
    EXPECT_FALSE(anyLineContains(join("Bob", kGuidB, "1.2.3.5:27960"), "Download request"));
}

TEST_F(ClientFiles, TwoClientsShareOneCompressedCopyAndTheLimitQueuesTheSecond) {
    store(noise(6000));
    run("qz_sv_maxConUpdates 1");
    join("Alice", kGuidA, "1.2.3.4:27960");
    join("Bob", kGuidB, "1.2.3.5:27960");
    auto first = run("sim_getfile 1 c 1000 1002");
    EXPECT_TRUE(anyLineContains(first, "[to 1] QVRFH "));
    auto second = run("sim_getfile 2 c 1000 1002");
    EXPECT_FALSE(anyLineContains(second, "[to 2] QVRFH ")) << "queued behind the first";
    EXPECT_FALSE(anyLineContains(second, "Memory Allocation Error"));
    auto lines = framesUntil("File dll/wc001002.dll sent to (slot# 2");
    EXPECT_TRUE(anyLineContains(lines, "File dll/wc001002.dll sent to (slot# 1"));
    EXPECT_TRUE(anyLineContains(lines, "[to 2] QVRFH "));
    EXPECT_TRUE(anyLineContains(lines, "File dll/wc001002.dll sent to (slot# 2"));
    EXPECT_EQ(host().client(1)->dlData, host().client(2)->dlData);
}

struct FailureCase {
    const char* name;
    const char* contents;  // null: no stored file
    char fault;            // cfTestFault letter, 0 for none
    const char* message;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name << " -> " << c.message; }

class ClientFileFailures : public ClientFiles, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ClientFileFailures, EachFailureIsReportedAndTheClientToldTheFileCannotBeHad) {
    const FailureCase& c = GetParam();
    join("Alice", kGuidA, "1.2.3.4:27960");
    if (c.contents) store(c.contents);
    cfTestFault(c.fault);
    auto lines = run("sim_getfile 1 c 1000 1002");
    EXPECT_TRUE(hasLine(
        lines, std::string("Client[Alice] Requested file [dll/wc001002.dll] - ") + c.message))
        << ::testing::PrintToString(lines);
    EXPECT_TRUE(hasLine(lines, "[to 1] QVRFH 0 0 0 wc001002.dll"));
    EXPECT_TRUE(host().client(1)->dlRefused);
    // Nothing is left waiting: a later request with the file in place is served.
    cfTestFault(0);
    store("a module");
    lines = run("sim_getfile 1 c 1000 1002");
    EXPECT_TRUE(anyLineContains(lines, "[to 1] QVRFH 1 "));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientFileFailures,
    ::testing::Values(FailureCase{"NotFound", nullptr, 0, "File Not Found"},
                      FailureCase{"Empty", "", 0, "File Empty"},
                      FailureCase{"ReadBuffer", "a module", 'A', "Memory Allocation Error (A)"},
                      FailureCase{"ShortRead", "a module", 'R', "File Read Error (7/8)"},
                      FailureCase{"PackBuffer", "a module", 'B', "Memory Allocation Error (B)"},
                      FailureCase{"Compression", "a module", 'Z', "File Compression Error (-4)"},
                      FailureCase{"Record", "a module", 'C', "Memory Allocation Error (C)"}),
    [](const auto& param) { return qztest::caseName(param.index, param.param.name); });

TEST_F(ClientFiles, AMissingLocalCopyIsACriticalErrorWhenAnOutdatedClientJoins) {
    auto lines = join("Alice", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(lines, "Critical Error - Local File dll/wc001002.dll Not Found"));
    lines = join("Bob", kGuidB, "1.2.3.5:27960");
    EXPECT_FALSE(anyLineContains(lines, "Critical Error")) << "once a minute, not per client";
    store("a module");
    run("sim_advance 61000");
    EXPECT_FALSE(
        anyLineContains(join("Carol", kGuidC, "1.2.3.6:27960"), "Critical Error - Local File"));
}

TEST_F(ClientFiles, OnlyTheRequiredVersionsAreOfferedAndNamesStayInTheirFolder) {
    store("a module");
    join("Alice", kGuidA, "1.2.3.4:27960");
    auto lines = run("sim_getfile 1 c 1000 1001");
    EXPECT_TRUE(hasLine(
        lines, "[to 1] PThis QZ Server Requires (A0 C1.002) - Requested Version Not Offered"));
    EXPECT_TRUE(hasLine(lines, "[to 1] QVRFH 0 0 0 wc001001.dll"));
    for (const char* bad :
         {"QZ_DLREQ c 1000 ../../qzsv.so", "QZ_DLREQ x 1000 1002", "QZ_DLREQ c 1000 1234567",
          "QZ_DLREQ c 1000 1002 extra", "QZ_DLREQ c -1 1002", "QZ_DLREQ c"}) {
        lines = run(std::string("sim_packet 1 ") + bad);
        EXPECT_TRUE(hasLine(lines, "Malformed download request from (slot #1) Alice")) << bad;
        EXPECT_FALSE(anyLineContains(lines, "QVRFH")) << bad;
    }
    // The agent module's stored name follows the same pattern, for the number the host set.
    run("QZ_SV_SETAGVER 7");
    writeFile("dll/wa000007.dll", "an agent");
    lines = run("sim_getfile 1 a 6 7");
    EXPECT_TRUE(anyLineContains(lines, "Download request for dll/wa000007.dll (a 6 -> 7)"));
    EXPECT_TRUE(anyLineContains(lines, "[to 1] QVRFH "));
}

TEST_F(ClientFiles, ARestartFromBlockZeroSendsTheHeaderAgainAndAReblockRewinds) {
    store(noise(5000));
    joinSilent("Alice", kGuidA, "1.2.3.4:27960");
    run("sim_packet 1 QZ_INIT 1.000 P");
    auto lines = run("sim_packet 1 QZ_DLREQ c 1000 1002");
    ASSERT_TRUE(anyLineContains(lines, "[to 1] QVRFH 1 "));
    lines = run("sim_advance 50");
    EXPECT_TRUE(hasLine(lines, "[to 1] QVRFB 1 0 (1200 bytes)"));
    EXPECT_TRUE(hasLine(lines, "[to 1] QVRFB 1 3 (1200 bytes)"));
    lines = run("sim_packet 1 QZ_VRFC restart 1 0");
    EXPECT_TRUE(anyLineContains(lines, "[to 1] QVRFH 1 "));
    lines = run("sim_advance 50");
    EXPECT_TRUE(hasLine(lines, "[to 1] QVRFB 1 0 (1200 bytes)"));
    run("sim_packet 1 QZ_VRFC ack 1 2");
    run("sim_advance 50");
    run("sim_packet 1 QZ_VRFC reblock 1 2");
    lines = run("sim_advance 50");
    EXPECT_TRUE(hasLine(lines, "[to 1] QVRFB 1 2 (1200 bytes)"));
    // A control for another transfer, or past the end, changes nothing.
    EXPECT_TRUE(hasLine(run("sim_packet 1 QZ_VRFC ack 9 1"),
                        "Transfer control ignored from (slot #1) Alice"));
    EXPECT_TRUE(hasLine(run("sim_packet 1 QZ_VRFC ack 1 99"),
                        "Transfer control ignored from (slot #1) Alice"));
}

TEST_F(ClientFiles, AClientThatStopsAnsweringDuringAnUpdateIsKickedForTheTimeOut) {
    store(noise(30000));
    joinSilent("Alice", kGuidA, "1.2.3.4:27960");
    run("sim_packet 1 QZ_INIT 1.000 P");
    run("sim_packet 1 QZ_DLREQ c 1000 1002");
    std::vector<std::string> lines;
    for (int i = 0; i < 29 && !anyLineContains(lines, "VIOLATION"); ++i)
        lines = run("sim_advance 1000");
    EXPECT_FALSE(anyLineContains(lines, "VIOLATION")) << "not before 30 seconds";
    EXPECT_NE(host().client(1), nullptr);
    lines = run("sim_advance 1500");
    EXPECT_TRUE(anyLineContains(lines,
                                "VIOLATION (UPDATE TIMEOUT) #0: Time Out trying to Update "
                                "QZ Client (slot #1) Alice"));
    EXPECT_TRUE(anyLineContains(lines, "(UPDATE TIMEOUT) Time Out trying to Update QZ Client"));
    EXPECT_EQ(host().client(1), nullptr);
}

TEST_F(ClientFiles, AFailedUpdateIsKickedAfterTheGraceUnlessTheClientCatchesUp) {
    run("qz_sv_UpdateGrace 10");
    store(noise(3000));
    auto lines = join("Alice", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(lines, "[to 1] PSpectator mode forced until your QZ Version updates"));
    EXPECT_TRUE(
        hasLine(lines,
                "[to 1] PThis QZ Server Requires (A0 C1.002) - Your Kestrine client could not be "
                "updated"));
    join("Bob", kGuidB, "1.2.3.5:27960");
    // Bob retries: he fetches the version and reports it within the grace.
    sim::SimClient* bob = host().client(2);
    bob->pendingVersion = "1.002";
    run("sim_getfile 2 c 1000 1002");
    framesUntil("File dll/wc001002.dll sent to (slot# 2");
    EXPECT_EQ(bob->clientVersion, "1.002");
    lines = run("sim_advance 9000");
    EXPECT_FALSE(anyLineContains(lines, "VIOLATION"));
    lines = run("sim_advance 1000");
    EXPECT_TRUE(anyLineContains(lines,
                                "VIOLATION (AUTO-UPDATE FAILURE) #1000: Client C1.000, "
                                "server requires C1.002 (slot #1) Alice"));
    EXPECT_TRUE(anyLineContains(lines, "Kestrine kicked player 'Alice'"));
    EXPECT_EQ(host().client(1), nullptr);
    EXPECT_NE(host().client(2), nullptr);
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), "Bob"));
}

class ClientUploads : public ClientFiles {
  protected:
    std::string header(uint32_t id, size_t size, size_t raw, const std::string& name) {
        return "QZ_VRFH " + std::to_string(id) + " " + hex(size) + " " + hex(raw) + " " + name;
    }
    std::string block(uint32_t id, uint32_t n, const std::string& data) {
        return "QZ_VRFB" + be32(id) + be32(n) + data;
    }
    std::vector<std::string> send(const std::string& bytes) {
        const size_t before = host().output().size();
        host().packet(1, bytes);
        const auto& all = host().output();
        return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
    }
};

TEST_F(ClientUploads, AWholeUploadIsWrittenIntoTheUploadFolder) {
    join("Alice", kGuidA, "1.2.3.4:27960");
    const std::string bytes = noise(4000, 7);
    writeFile("notes.bin", bytes);
    auto lines = run("sim_upload 1 " + home() + "notes.bin");
    EXPECT_TRUE(anyLineContains(lines,
                                "Received Upload File: svul/000001-notes.bin (4000 bytes) "
                                "from (slot# 1) Alice"));
    EXPECT_EQ(file("svul/000001-notes.bin"), bytes);
    EXPECT_FALSE(std::filesystem::exists(home() + "svul/000001-notes.bin.part"));
    EXPECT_EQ(host().client(1)->upReply, "ack");
}

struct HeaderCase {
    const char* name;
    const char* header;
    const char* message;
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << '"' << c.header << '"'; }

class UploadHeaders : public ClientUploads, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(UploadHeaders, ACorruptHeaderIsReportedAndRefused) {
    join("Alice", kGuidA, "1.2.3.4:27960");
    auto lines = send(GetParam().header);
    EXPECT_TRUE(hasLine(lines, GetParam().message)) << ::testing::PrintToString(lines);
    EXPECT_TRUE(anyLineContains(lines, "[to 1] QVRFC abort "));
    EXPECT_FALSE(std::filesystem::exists(home() + "svul"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UploadHeaders,
    ::testing::Values(HeaderCase{"Escape", "QZ_VRFH 1 10 20 ../qzsv.cfg",
                                 "ERROR: Corrupt Upload Header for [Alice] slot#1 (1|16)"},
                      HeaderCase{"Slash", "QZ_VRFH 2 10 20 a/b",
                                 "ERROR: Corrupt Upload Header for [Alice] slot#1 (2|16)"},
                      HeaderCase{"Hidden", "QZ_VRFH 3 10 20 .profile",
                                 "ERROR: Corrupt Upload Header for [Alice] slot#1 (3|16)"},
                      HeaderCase{"TooLarge", "QZ_VRFH 4 40001 80000 big.bin",
                                 "ERROR: Corrupt Upload Header for [Alice] slot#1 (4|262145)"},
                      HeaderCase{"Bomb", "QZ_VRFH 5 10 FFFFF bomb.bin",
                                 "ERROR: Corrupt Upload Header for [Alice] slot#1 (5|16)"},
                      HeaderCase{"Empty", "QZ_VRFH 6 0 0 none.bin",
                                 "ERROR: Corrupt Upload Header for [Alice] slot#1 (6|0)"},
                      HeaderCase{"Garbage", "QZ_VRFH zz",
                                 "ERROR: Corrupt Upload Header for [Alice] slot#1 (0|0)"}),
    [](const auto& param) { return qztest::caseName(param.index, param.param.name); });

TEST_F(ClientUploads, CorruptBlocksEndTheUploadAndNothingIsWritten) {
    join("Alice", kGuidA, "1.2.3.4:27960");
    const std::string packed = deflate(noise(3000, 3));
    ASSERT_GT(packed.size(), 2400u);
    // A block of the wrong length.
    EXPECT_TRUE(hasLine(send(header(1, packed.size(), 3000, "a.bin")), "[to 1] QVRFC ack 1 0"));
    auto lines = send(block(1, 0, packed.substr(0, 1000)));
    EXPECT_TRUE(hasLine(lines, "ERROR: Corrupt Upload Block for [Alice] slot#1 (1|0)"));
    EXPECT_TRUE(hasLine(lines, "[to 1] QVRFC abort 1 0"));
    // A block for no upload in progress, and one past the end.
    EXPECT_TRUE(hasLine(send(block(1, 1, packed.substr(1200, 1200))),
                        "ERROR: Corrupt Upload Block for [Alice] slot#1 (1|1)"));
    send(header(2, packed.size(), 3000, "b.bin"));
    EXPECT_TRUE(
        hasLine(send(block(2, 7, "x")), "ERROR: Corrupt Upload Block for [Alice] slot#1 (2|7)"));
    // A gap is answered with a reblock request, a repeat is ignored.
    EXPECT_TRUE(hasLine(send(block(2, 1, packed.substr(1200, 1200))), "[to 1] QVRFC reblock 2 0"));
    send(block(2, 0, packed.substr(0, 1200)));
    EXPECT_TRUE(send(block(2, 0, packed.substr(0, 1200))).empty());
    // Data that do not inflate to the announced size.
    std::string wrong = packed;
    wrong[wrong.size() - 3] ^= 0x55;
    send(block(2, 1, wrong.substr(1200, 1200)));
    lines = send(block(2, 2, wrong.substr(2400)));
    EXPECT_TRUE(hasLine(lines, "ERROR: Corrupt Upload Block for [Alice] slot#1 (2|2)"));
    EXPECT_FALSE(std::filesystem::exists(home() + "svul/000001-b.bin"));
    EXPECT_FALSE(std::filesystem::exists(home() + "svul/000001-b.bin.part"));
}

TEST_F(ClientUploads, AFileThatCannotBeWrittenIsReported) {
    join("Alice", kGuidA, "1.2.3.4:27960");
    std::filesystem::create_directories(home() + "svul/000001-x.bin");
    writeFile("x.bin", "some bytes");
    auto lines = run("sim_upload 1 " + home() + "x.bin");
    EXPECT_TRUE(hasLine(lines, "File Write/Creation Error (svul/000001-x.bin)"));
    EXPECT_EQ(host().client(1)->upReply, "abort");
}

TEST_F(ClientUploads, UploadsBeyondMaxConDlsAreRefusedAndASilentOneTimesOut) {
    join("Alice", kGuidA, "1.2.3.4:27960");
    join("Bob", kGuidB, "1.2.3.5:27960");
    send(header(1, 5000, 9000, "a.bin"));
    host().packet(2, header(1, 10, 9, "b.bin"));
    EXPECT_TRUE(host().contains(
        "Upload of b.bin from (slot# 2) Bob refused: 1 in progress (qz_sv_MaxConDls 1)"));
    EXPECT_EQ(host().client(2)->received.back(), "QVRFC busy 1 0");
    auto lines = run("sim_advance 31000");
    EXPECT_TRUE(
        hasLine(lines, "Upload of a.bin from (slot# 1) Alice timed out after block 0 of 5"));
}

}  // namespace

namespace {

// The compressed copy outlives its last client while the file is unchanged: a second request
// compresses nothing (a compression fault set for it is never met), a changed file is read
// afresh.
TEST_F(ClientFiles, RepeatedRequestsReuseTheCompressedCopyUntilTheFileChanges) {
    store(noise(6000));
    join("Alice", kGuidA, "1.2.3.4:27960");
    run("sim_getfile 1 c 1000 1002");
    framesUntil("File dll/wc001002.dll sent to (slot# 1");
    cfTestFault('Z');
    auto lines = run("sim_getfile 1 c 1000 1002");
    EXPECT_FALSE(anyLineContains(lines, "File Compression Error"));
    EXPECT_TRUE(anyLineContains(lines, "[to 1] QVRFH 2 "));
    run("sim_advance 2000");
    store(noise(7000, 99));
    lines = run("sim_getfile 1 c 1000 1002");
    EXPECT_TRUE(anyLineContains(lines, "File Compression Error (-4)"))
        << ::testing::PrintToString(lines);
}

TEST_F(ClientFiles, RequestsBeyondFiveAMinuteAreDropped) {
    store(noise(3000));
    join("Alice", kGuidA, "1.2.3.4:27960");
    int served = 0;
    for (int i = 0; i < 8; ++i) {
        served += anyLineContains(run("sim_getfile 1 c 1000 1002"), "[to 1] QVRFH ");
    }
    EXPECT_EQ(served, QZ_CF_REQUESTS_PER_MINUTE);
    EXPECT_TRUE(
        host().contains("Download request from (slot #1) Alice ignored: more than 5 a minute"));
    framesUntil("File dll/wc001002.dll sent to (slot# 1");
    for (int i = 0; i < 60; ++i) run("sim_advance 1000");
    EXPECT_TRUE(anyLineContains(run("sim_getfile 1 c 1000 1002"), "[to 1] QVRFH "));
}

// A header without blocks gives its place up after five seconds, each upload started counts
// against the player's quota, and the folder as a whole is bounded.
TEST_F(ClientUploads, QuotasPerPlayerAndForTheFolderAndAStalledUploadFreesItsPlace) {
    join("Alice", kGuidA, "1.2.3.4:27960");
    join("Bob", kGuidB, "1.2.3.5:27960");
    send(header(1, 5000, 9000, "a.bin"));
    run("sim_advance 5100");
    EXPECT_TRUE(
        host().contains("Upload of a.bin from (slot# 1) Alice timed out after block 0 of 5"));
    host().packet(2, header(1, 10, 9, "b.bin"));
    EXPECT_FALSE(host().contains("Upload of b.bin from (slot# 2) Bob refused"));
    // Alice has used one of her eight; seven more headers, then the quota.
    for (uint32_t id = 2; id <= 8; ++id) {
        send(header(id, 10, 9, "c.bin"));
        run("sim_advance 5100");
    }
    auto lines = send(header(9, 10, 9, "d.bin"));
    EXPECT_TRUE(hasLine(lines,
                        "Upload of d.bin from (slot# 1) Alice refused: player's upload quota "
                        "(files) reached"));
    EXPECT_TRUE(hasLine(lines, "[to 1] QVRFC abort 9 0"));
}

TEST_F(ClientUploads, AFullUploadFolderRefusesMore) {
    std::filesystem::create_directories(home() + "svul");
    for (int i = 0; i < QZ_CF_UPLOAD_TOTAL_FILES; ++i) {
        writeFile("svul/old" + std::to_string(i), "x");
    }
    join("Alice", kGuidA, "1.2.3.4:27960");
    auto lines = send(header(1, 10, 9, "e.bin"));
    EXPECT_TRUE(
        hasLine(lines, "Upload of e.bin from (slot# 1) Alice refused: the upload folder is full"));
}

}  // namespace
