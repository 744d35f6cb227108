// The fleet ban wire form: every body form round-trips, malformed bodies and envelopes are
// refused, the MAC binds body, server, counter and direction, and the replay window.
#include "remote/fleet_wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const unsigned char* testKey() {
    static unsigned char key[QZF_KEY_BYTES];
    for (int i = 0; i < QZF_KEY_BYTES; i++) key[i] = static_cast<unsigned char>(i * 7 + 1);
    return key;
}

FleetBody reportBody() {
    FleetBody b{};
    b.kind = QZF_REPORT;
    b.id = 0x1a;
    b.time = 1765432100;
    b.length = 0;
    b.slot = 12;
    b.banKind = 'G';
    strcpy(b.guid, "0123456789ABCDEF0123456789ABCDEF");
    strcpy(b.addr, "10.0.0.5");
    strcpy(b.origin, "console");
    strcpy(b.name, "Cheater");
    return b;
}

std::string format(const FleetBody& b) {
    char out[QZF_PACKET_MAX];
    int n = fleetFormat(out, sizeof out, b);
    return std::string(out, static_cast<size_t>(n));
}

bool parses(const std::string& text) {
    FleetBody b;
    return fleetParse(text.data(), static_cast<int>(text.size()), &b);
}

}  // namespace

TEST(FleetWire, EveryBodyFormIsWrittenAsTheProtocolShowsAndReadsBack) {
    FleetBody report = reportBody();
    FleetBody query{};
    query.kind = QZF_QUERY;
    query.id = 0x2b;
    query.slot = 3;
    query.time = 1765432200;
    strcpy(query.guid, "0123456789ABCDEF0123456789ABCDEF");
    strcpy(query.addr, "10.0.0.7:27960");
    FleetBody hello{};
    hello.kind = QZF_QUERY;
    hello.id = 1;
    hello.time = 1765432200;
    strcpy(hello.guid, "*");
    hello.fleetId = 42;
    FleetBody unban{};
    unban.kind = QZF_UNBAN;
    unban.epoch = 0x9f00aa5501234567ull;
    unban.id = 0x1b;
    strcpy(unban.scope, QZF_SCOPE_FLEET);
    unban.fleetId = 7;
    unban.slot = 12;
    unban.time = 1765432300;
    strcpy(unban.guid, "0123456789ABCDEF0123456789ABCDEF");
    FleetBody answer{};
    answer.kind = QZF_ANSWER;
    answer.fleetId = 7;
    answer.epoch = 0x5a;
    answer.id = 0x2b;
    strcpy(answer.verdict, "BANNED");
    strcpy(answer.guid, "0123456789ABCDEF0123456789ABCDEF");
    strcpy(answer.name, "Cheater 'x'");
    strcpy(answer.answerKind, "GUID");
    strcpy(answer.server, "alpha-1");
    FleetBody push{};
    push.kind = QZF_PUSH;
    push.fleetId = 7;
    push.id = 0x10;
    strcpy(push.guid, "0123456789ABCDEF0123456789ABCDEF");
    strcpy(push.server, "alpha-1");
    strcpy(push.name, "Cheater");
    push.time = 1765432100;
    push.length = 60;
    push.change = 12345;
    FleetBody lift = push;
    lift.kind = QZF_LIFT;
    lift.id = 0;
    FleetBody page{};
    page.kind = QZF_PAGE;
    page.id = 0x3c;
    page.after = 100;
    page.change = 164;
    page.count = 64;
    page.more = 1;
    FleetBody audit{};
    audit.kind = QZF_AUDIT;
    strcpy(audit.server, "alpha-1");
    strcpy(audit.origin, "web:alice@10.0.0.9");
    audit.time = 1765432100;
    audit.json = "{\"a\":1}";
    audit.jsonLen = 7;

    struct Case {
        const FleetBody* body;
        const char* text;
    } cases[] = {
        {&report,
         "BBanServ1a 1765432100|0 12G 0123456789ABCDEF0123456789ABCDEF 10.0.0.5 console "
         "\"Cheater\""},
        {&query,
         "QBanServ2b 3|1765432200 GUID=0123456789ABCDEF0123456789ABCDEF EXTRA=10.0.0.7:27960"},
        {&hello, "QBanServ1 0|1765432200 GUID=* EXTRA=sync:42"},
        {&unban,
         "UBanServ9f00aa5501234567:1b 7 12 1765432300|0 GUID=0123456789ABCDEF0123456789ABCDEF "
         "EXTRA=fleet"},
        {&answer,
         "ABanServ7 5a:2b BANNED 0123456789ABCDEF0123456789ABCDEF \"Cheater 'x'\" GUID alpha-1"},
        {&push,
         "PBanServ7 10 0123456789ABCDEF0123456789ABCDEF alpha-1 \"Cheater\" 1765432100 60 12345"},
        {&lift,
         "RBanServ7 0 0123456789ABCDEF0123456789ABCDEF alpha-1 \"Cheater\" 1765432100 60 12345"},
        {&page, "SBanServ3c 100 164 64 MORE"},
        {&audit, "LVRRep \"alpha-1\" web:alice@10.0.0.9 |1765432100| {\"a\":1}"},
    };
    for (const Case& c : cases) {
        std::string text = format(*c.body);
        EXPECT_EQ(text, c.text);
        FleetBody back;
        ASSERT_TRUE(fleetParse(text.data(), static_cast<int>(text.size()), &back)) << text;
        EXPECT_EQ(back.kind, c.body->kind);
        EXPECT_EQ(back.id, c.body->id) << text;
        EXPECT_EQ(back.epoch, c.body->epoch) << text;
        EXPECT_EQ(back.change, c.body->change) << text;
        EXPECT_EQ(back.count, c.body->count) << text;
        EXPECT_EQ(back.more, c.body->more) << text;
        EXPECT_STREQ(back.scope, c.body->scope) << text;
        EXPECT_EQ(back.time, c.body->time) << text;
        EXPECT_STREQ(back.guid, c.body->guid[0] ? c.body->guid : "") << text;
        EXPECT_STREQ(back.name, c.body->name) << text;
        EXPECT_STREQ(back.server, c.body->server) << text;
        EXPECT_EQ(format(back), text) << "reformatted";
    }
    FleetBody back;
    std::string h = format(hello);
    ASSERT_TRUE(fleetParse(h.data(), static_cast<int>(h.size()), &back));
    EXPECT_EQ(back.sync, 1);
    EXPECT_EQ(back.fleetId, 42u);
    // An unban without a scope reads as this server's own bans only.
    const char* bare = "UBanServ1b 7 12 1765432300|0 GUID=ABCD EXTRA=";
    ASSERT_TRUE(fleetParse(bare, static_cast<int>(strlen(bare)), &back));
    EXPECT_STREQ(back.scope, QZF_SCOPE_OWN);
}

TEST(FleetWire, MasterCountersFollowTheEpochAndNeverAClock) {
    uint32_t seq = 0;
    EXPECT_EQ(fleetMasterCounter(7, &seq), (uint64_t{7} << 32) + 1);
    EXPECT_EQ(fleetMasterCounter(7, &seq), (uint64_t{7} << 32) + 2);
    uint32_t fresh = 0;
    EXPECT_GT(fleetMasterCounter(8, &fresh), (uint64_t{7} << 32) + 0xfffffffeu)
        << "a later start is ahead of anything the former one sent";
    EXPECT_EQ(fleetMasterCounter(0, &fresh), 0u) << "no epoch, no counter";
    uint32_t spent = 0xffffffffu;
    EXPECT_EQ(fleetMasterCounter(7, &spent), 0u);
}

TEST(FleetWire, MalformedBodiesAreRefused) {
    const char* bad[] = {
        "",
        "B",
        "XBanServ1 2",
        "BBanServ 1765432100|0 12G 0123456789ABCDEF0123456789ABCDEF 10.0.0.5 console \"C\"",
        "BBanServ1a 1765432100|0 12 0123456789ABCDEF0123456789ABCDEF 10.0.0.5 console \"C\"",
        "BBanServ1a 1765432100|0 12G 0123-56789ABCDEF 10.0.0.5 console \"C\"",
        "BBanServ1a 1765432100|0 12G 0123456789ABCDEF0123456789ABCDEFF 10.0.0.5 console \"C\"",
        "BBanServ1a 1765432100|0 12G 0123456789ABCDEF0123456789ABCDEF 10.0.0.5 console \"C",
        "BBanServ1a 1765432100|0 12G 0123456789ABCDEF0123456789ABCDEF 10.0.0.5 console \"C\" x",
        "BBanServ1a 99999999999999999999|0 12G ABCD 10.0.0.5 console \"C\"",
        "BBanServ123456789 1|0 12G ABCD 10.0.0.5 console \"C\"",
        "BBanServ1a 1|0 12G ABCD 10.0.0.5 console \"C\tD\"",
        "QBanServ1 0|1 GUID=* EXTRA=10.0.0.1",
        "QBanServ1 0|1 GUID=* EXTRA=sync:",
        "QBanServ1 0|1 GUID=ABCD EXTRA=",
        "QBanServ1 0|1 GUID=ABCD EXTRA=a b",
        "UBanServ1 0 1 2|0 GUID=ABCD EXTRA=x",
        "UBanServ1:2:3 0 1 2|0 GUID=ABCD EXTRA=own",
        "UBanServ12345678901234567:1 0 1 2|0 GUID=ABCD EXTRA=own",
        "UBanServ123456789 0 1 2|0 GUID=ABCD EXTRA=own",
        "SBanServ1 5 4 0 DONE",
        "SBanServ1 5 6 0 MAYBE",
        "SBanServ1 5 6 0",
        "PBanServ1 2 ABCD alpha \"n\" 1 0 0",
        "PBanServ1 2 ABCD alpha \"n\" 1 0 ",
        "UBanServ1 0 1 2|0 GUID=* EXTRA=",
        "ABanServ1 2 MAYBE ABCD \"n\" GUID",
        "ABanServ1 2 ACK ABCD \"n\" guid",
        "ABanServ1 2 ACK ABCD n GUID",
        "PBanServ1 2 ABCD bad/id \"n\" 1 0 ",
        "PBanServ1 2 ABCD alpha \"n\" 1 ",
        "LVRRep \"alpha\" console |1| notjson",
        "LVRRep \"al pha\" console |1| {}",
    };
    for (const char* text : bad) EXPECT_FALSE(parses(text)) << text;
    // A body one past the longest a datagram can carry.
    std::string big = "LVRRep \"a\" c |1| {" + std::string(QZF_BODY_MAX, 'x');
    EXPECT_FALSE(parses(big));
}

TEST(FleetWire, FieldsTheReceiverWouldRefuseAreNotWritten) {
    struct Case {
        const char* what;
        void (*spoil)(FleetBody*);
    } cases[] = {
        {"guid with a blank", [](FleetBody* b) { strcpy(b->guid, "AB CD"); }},
        {"empty guid", [](FleetBody* b) { b->guid[0] = 0; }},
        {"name with a quote", [](FleetBody* b) { strcpy(b->name, "a\"b"); }},
        {"origin with a blank", [](FleetBody* b) { strcpy(b->origin, "web: x"); }},
        {"empty address", [](FleetBody* b) { b->addr[0] = 0; }},
        {"kind letter", [](FleetBody* b) { b->banKind = 'g'; }},
    };
    for (const Case& c : cases) {
        FleetBody b = reportBody();
        c.spoil(&b);
        char out[QZF_PACKET_MAX];
        EXPECT_EQ(fleetFormat(out, sizeof out, b), 0) << c.what;
    }
    FleetBody b = reportBody();
    char small[20];
    EXPECT_EQ(fleetFormat(small, sizeof small, b), 0) << "too small a buffer";
    EXPECT_EQ(small[0], 0);
}

TEST(FleetWire, NamesAreCleanedForTheWire) {
    char out[QZF_NAME_MAX + 1];
    fleetCleanName("a\"b\tc", out);
    EXPECT_STREQ(out, "a'b c");
    std::string longName(200, 'n');
    fleetCleanName(longName.c_str(), out);
    EXPECT_EQ(strlen(out), static_cast<size_t>(QZF_NAME_MAX));
}

TEST(FleetWire, ASealedPacketOpensAndVerifiesOnlyForItsDirectionAndKey) {
    const char* body = "QBanServ1 0|1 GUID=* EXTRA=sync:0";
    char pkt[QZF_PACKET_MAX + 1];
    int n = fleetSeal(pkt, sizeof pkt, body, static_cast<int>(strlen(body)), "alpha-1", 77,
                      QZF_TO_SERVICE, testKey());
    ASSERT_GT(n, 0);
    std::string text(pkt, static_cast<size_t>(n));
    EXPECT_EQ(text.rfind(std::string(body) + "\nQZF1 alpha-1 77 ", 0), 0u) << text;
    FleetEnvelope env;
    ASSERT_EQ(fleetOpen(pkt, n, &env), QZF_OK);
    EXPECT_STREQ(env.server, "alpha-1");
    EXPECT_EQ(env.counter, 77u);
    EXPECT_EQ(std::string(env.body, static_cast<size_t>(env.bodyLen)), body);
    EXPECT_TRUE(fleetVerify(env, QZF_TO_SERVICE, testKey()));
    EXPECT_FALSE(fleetVerify(env, QZF_TO_SERVER, testKey())) << "reflected";
    unsigned char other[QZF_KEY_BYTES] = {};
    EXPECT_FALSE(fleetVerify(env, QZF_TO_SERVICE, other)) << "other key";

    // Any one byte changed in body, id or counter makes the MAC fail (or the trailer unreadable).
    int trailerMac = n - 64;
    for (int i = 0; i < trailerMac; i++) {
        std::string bent = text;
        bent[static_cast<size_t>(i)] ^= 1;
        FleetEnvelope e;
        if (fleetOpen(bent.data(), n, &e) == QZF_OK) {
            EXPECT_FALSE(fleetVerify(e, QZF_TO_SERVICE, testKey())) << "byte " << i;
        }
    }
}

TEST(FleetWire, MalformedTrailersAreBadSyntax) {
    std::string mac(64, 'a');
    const char* bad[] = {
        "",
        "body",
        "\nQZF1 a 1 ",
        "body\nQZF2 a 1 ",
        "body\nQZF1  1 ",
        "body\nQZF1 a/b 1 ",
        "body\nQZF1 a x ",
        "body\nQZF1 a 1",
        "body\nQZF1 a 99999999999999999999 ",
        "body\nQZF1 aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa 1 ",
        "bo\ndy\nQZF1 a 1 ",
    };
    for (const char* prefix : bad) {
        std::string p = prefix;
        if (p.size() > 5) p += mac;
        FleetEnvelope env;
        EXPECT_EQ(fleetOpen(p.data(), static_cast<int>(p.size()), &env), QZF_BAD_SYNTAX) << p;
    }
    std::string upper = "body\nQZF1 a 1 " + std::string(64, 'A');
    FleetEnvelope env;
    EXPECT_EQ(fleetOpen(upper.data(), static_cast<int>(upper.size()), &env), QZF_BAD_SYNTAX);
    std::string tooLong = std::string(QZF_PACKET_MAX, 'x') + "\nQZF1 a 1 " + mac;
    EXPECT_EQ(fleetOpen(tooLong.data(), static_cast<int>(tooLong.size()), &env), QZF_BAD_SYNTAX);
}

TEST(FleetWire, SealRefusesWhatCannotBeOpened) {
    char pkt[QZF_PACKET_MAX + 1];
    EXPECT_EQ(fleetSeal(pkt, sizeof pkt, "a\nb", 3, "alpha", 1, QZF_TO_SERVICE, testKey()), 0);
    EXPECT_EQ(fleetSeal(pkt, sizeof pkt, "ab", 2, "al pha", 1, QZF_TO_SERVICE, testKey()), 0);
    EXPECT_EQ(fleetSeal(pkt, sizeof pkt, "ab", 2, "alpha", 1, 'X', testKey()), 0);
    std::string big(QZF_BODY_MAX + 1, 'x');
    EXPECT_EQ(fleetSeal(pkt, sizeof pkt, big.data(), static_cast<int>(big.size()), "alpha", 1,
                        QZF_TO_SERVICE, testKey()),
              0);
    std::string max(QZF_BODY_MAX, 'x');
    std::string longId(QZF_ID_MAX, 'i');
    int n = fleetSeal(pkt, sizeof pkt, max.data(), static_cast<int>(max.size()), longId.c_str(),
                      UINT64_MAX, QZF_TO_SERVICE, testKey());
    EXPECT_EQ(n, QZF_PACKET_MAX) << "the longest body with the longest trailer fills a datagram";
    FleetEnvelope env;
    ASSERT_EQ(fleetOpen(pkt, n, &env), QZF_OK);
    EXPECT_TRUE(fleetVerify(env, QZF_TO_SERVICE, testKey()));
}

TEST(FleetWire, KeysAreSixtyFourHexDigits) {
    unsigned char key[QZF_KEY_BYTES];
    std::string good(64, 'A');
    EXPECT_TRUE(fleetKeyParse(good.data(), 64, key));
    EXPECT_EQ(key[0], 0xaa);
    std::string nl = good + "\n";
    EXPECT_TRUE(fleetKeyParse(nl.data(), static_cast<int>(nl.size()), key));
    EXPECT_FALSE(fleetKeyParse(good.data(), 63, key));
    std::string junk = good + "x";
    EXPECT_FALSE(fleetKeyParse(junk.data(), static_cast<int>(junk.size()), key));
    std::string g = std::string(63, 'a') + "g";
    EXPECT_FALSE(fleetKeyParse(g.data(), 64, key));
}

TEST(FleetWire, CountersIncreaseEvenWhenTheClockStepsBack) {
    uint64_t last = 0;
    EXPECT_EQ(fleetNextCounter(&last, 1000), 1000u);
    EXPECT_EQ(fleetNextCounter(&last, 1000), 1001u);
    EXPECT_EQ(fleetNextCounter(&last, 10), 1002u);
    EXPECT_EQ(fleetNextCounter(&last, 5000), 5000u);
}

TEST(FleetWire, TheReplayWindowAcceptsEachCounterOnce) {
    FleetWindow w{};
    struct Step {
        uint64_t counter;
        bool accepted;
    } steps[] = {
        {0, false},   {100, true}, {100, false}, {99, true},    {99, false},
        {101, true},  {37, true},  {36, false},  {37, false},   {165, true},
        {101, false}, {102, true}, {100, false}, {500, true},   {436, true},
        {435, false}, {499, true}, {1000, true}, {937, true},   {936, true},
        {935, false}, {999, true}, {1064, true}, {1000, false}, {1001, true},
    };
    for (const Step& s : steps)
        EXPECT_EQ(fleetWindowAccept(&w, s.counter), s.accepted) << s.counter;
    EXPECT_EQ(w.highest, 1064u);
}

// A fixed example, the one docs/fleet.md shows: a change of what the MAC covers breaks it.
TEST(FleetWire, TheDocumentedExampleSealsToItsPublishedTrailer) {
    unsigned char key[QZF_KEY_BYTES];
    for (int i = 0; i < QZF_KEY_BYTES; i++) key[i] = static_cast<unsigned char>(i);
    const char* body =
        "BBanServ1a 1765432100|0 12G 0123456789ABCDEF0123456789ABCDEF 10.0.0.5:27960 console "
        "\"Cheater\"";
    char pkt[QZF_PACKET_MAX + 1];
    int n = fleetSeal(pkt, sizeof pkt, body, static_cast<int>(strlen(body)), "alpha",
                      1765432100000001ULL, QZF_TO_SERVICE, key);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(pkt, static_cast<size_t>(n)),
              std::string(body) +
                  "\nQZF1 alpha 1765432100000001 "
                  "e0960aa4b46e2a485bfe293b29ecdfc46aceb79c5ee03333093dea6a29c6fe93");
}
