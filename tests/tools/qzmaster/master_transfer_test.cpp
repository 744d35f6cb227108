// The stand-in master's file transfers against a requester of the test's own, a raw UDP socket:
// a request nobody acknowledges (its source may be forged) draws its header alone and is
// stopped; a requester that confirms and then falls silent gets a bounded number of blocks; one
// that acknowledges gets the whole file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "qzmaster/master.h"
#include "remote/outq.h"
#include "remote/packets.h"

namespace {

constexpr int kFileBytes = 400000;  // random bytes do not compress: some 334 blocks
constexpr int kWindow = 96;         // blocks the master sends ahead of an acknowledgement
constexpr int kResends = 5;         // times it sends a window again without progress

class MasterTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qzmaster-transfer-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::mt19937 gen(7);
        std::string data(kFileBytes, '\0');
        for (char& c : data) c = static_cast<char>(gen());
        std::ofstream(dir_ + "/big.dat", std::ios::binary) << data;
        qzm::Options o;
        o.dir = dir_;
        o.unthrottled = true;  // only the acknowledgements hold blocks back
        std::string error;
        ASSERT_TRUE(master_.start(o, &error)) << error;
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        master_addr_ = a;
        master_addr_.sin_port = htons(static_cast<uint16_t>(master_.port()));
    }
    void TearDown() override {
        if (fd_ >= 0) close(fd_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void send(const char* data, int length) {
        sendto(fd_, data, static_cast<size_t>(length), 0,
               reinterpret_cast<const sockaddr*>(&master_addr_), sizeof master_addr_);
    }
    // Sends a request for NAME as the module words it; returns its length in bytes.
    int request(const std::string& name) {
        char packet[QZ_PKT_MAX];
        pktTag(packet, QZ_PT_REQUEST);
        int n = pktRequestFormat(packet + QZ_TAG_LEN, QZ_PKT_MAX - QZ_TAG_LEN,
                                 "SV1673-0123456789abcdef", name.c_str(), QZ_PT_FILE, 4);
        EXPECT_GT(n, 0);
        send(packet, QZ_TAG_LEN + n);
        return QZ_TAG_LEN + n;
    }
    // "ack", "reblock" or "restart" for block of the transfer the header named.
    void control(const char* word, unsigned block) {
        char packet[96];
        pktTag(packet, QZ_PT_CONTROL);
        int n =
            snprintf(packet + QZ_TAG_LEN, sizeof packet - QZ_TAG_LEN, "%s %u %u", word, id_, block);
        send(packet, QZ_TAG_LEN + n);
    }
    // Reads what reached the requester: the header's transfer number, the blocks in order.
    void receive() {
        char buf[QZ_PKT_MAX + 1];
        for (;;) {
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return;
            bytes_ += n;
            if (n < QZ_TAG_LEN + 4 || pktType(buf, static_cast<int>(n)) != QZ_PT_FILE) continue;
            if (memcmp(buf + QZ_TAG_LEN, "VRFH", 4) == 0) {
                std::string text(buf + QZ_TAG_LEN + 4, static_cast<size_t>(n - QZ_TAG_LEN - 4));
                sscanf(text.c_str(), "%u %X", &id_, &size_);
                continue;
            }
            QzFileBlock b;
            if (!pktBlockParse(buf + QZ_TAG_LEN + 4, static_cast<int>(n) - QZ_TAG_LEN - 4, &b)) {
                continue;
            }
            ++blocks_;
            if (b.id == id_ && b.block == next_) ++next_;
        }
    }
    bool logged(const std::string& text) {
        for (const std::string& line : master_.log())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    // Lets the master work and reads what it sent until done() holds; false after a minute.
    template <class Done>
    bool until(Done done) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < end) {
            master_.poll();
            receive();
            if (done()) return true;
            usleep(2000);
        }
        return false;
    }

    std::string dir_;
    qzm::MasterServer master_;
    int fd_ = -1;
    sockaddr_in master_addr_{};
    unsigned id_ = 0;      // the transfer's number, from its header
    unsigned size_ = 0;    // its compressed size, from its header
    unsigned next_ = 0;    // blocks received in order
    long long bytes_ = 0;  // everything that reached the requester
    int blocks_ = 0;
};

TEST_F(MasterTransfer, ARequestNobodyAcknowledgesDrawsItsHeaderAloneAndIsStopped) {
    int asked = request("big.dat");
    ASSERT_TRUE(until([&] { return logged("stopped big.dat"); }))
        << bytes_ << " bytes, " << blocks_ << " blocks";
    EXPECT_TRUE(logged("the request was never acknowledged"));
    EXPECT_NE(id_, 0u);
    EXPECT_EQ(blocks_, 0);
    // A request from a forged source cannot draw more than a few times its own size.
    EXPECT_LE(bytes_, 8LL * asked) << "a " << asked << "-byte request drew " << bytes_ << " bytes";
}

TEST_F(MasterTransfer, ARequesterThatFallsSilentAfterTheHeaderGetsABoundedNumberOfBlocks) {
    request("big.dat");
    ASSERT_TRUE(until([&] { return id_ != 0; }));
    control("ack", 0);  // as the module acknowledges a header, then nothing more
    ASSERT_TRUE(until([&] { return logged("stopped big.dat"); }))
        << bytes_ << " bytes, " << blocks_ << " blocks";
    // Stopped for the windows sent again in vain, or (on a machine too slow to poll the master
    // five times in 10 s) for the requester's silence: either way after a bounded number.
    EXPECT_TRUE(logged("the blocks sent again were never acknowledged") ||
                logged("no acknowledgement for 10 seconds"));
    EXPECT_GT(blocks_, 0);
    EXPECT_LE(blocks_, kWindow * (1 + kResends));
}

TEST_F(MasterTransfer, ARequesterThatAcknowledgesGetsTheWholeFile) {
    request("big.dat");
    ASSERT_TRUE(until([&] { return id_ != 0; }));
    control("ack", 0);
    unsigned acked = 0;
    ASSERT_TRUE(until([&] {
        if (next_ != acked) {
            acked = next_;
            control("ack", acked);
        }
        return logged("sent big.dat");
    })) << next_
        << " blocks in order";
    EXPECT_EQ(next_, pktBlockCount(size_));
    EXPECT_FALSE(logged("stopped big.dat"));
}

}  // namespace
