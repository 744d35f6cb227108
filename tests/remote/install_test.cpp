// The update installer: every check in its order, the signature, and that a failure never
// leaves a target file.
#include "remote/install.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "qzmaster/master.h"
#include "util/md5.h"

namespace {

class Installer : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qzinstall-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_TRUE(qzm::makeKeyPair(&priv_, &pub_));
        std::ofstream(dir_ + "/key") << priv_ << "\n";
        ASSERT_TRUE(qzHexBytes(pub_.c_str(), key_, QZ_UPD_KEY_LEN));
        module_ = std::string(20000, 'x');
        for (size_t i = 0; i < module_.size(); ++i) module_[i] = static_cast<char>(i * 7 % 251);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // An update file for module_ as version n; edit changes it before the digests are taken.
    std::string build(int n, bool signIt = true) {
        std::string packed(compressBound(module_.size()), '\0');
        uLongf size = packed.size();
        compress(reinterpret_cast<Bytef*>(packed.data()), &size,
                 reinterpret_cast<const Bytef*>(module_.data()), module_.size());
        packed.resize(size);
        digestRaw_ =
            qzmd5(module_.data(), static_cast<unsigned>(module_.size()), static_cast<unsigned>(n));
        std::string sig = "-";
        if (signIt) sig = signHex(n);
        return "<p> U S L " + std::to_string(n) + " " + std::to_string(module_.size()) + " " +
               digestRaw_ + " " + sig + "\r\n" + packed;
    }
    std::string signHex(int n) {
        char manifest[QZ_UPD_MANIFEST];
        int ml = qzUpdateManifest(manifest, sizeof manifest, 'S', 'L', n, module_.data(),
                                  module_.size());
        std::string msg(manifest, static_cast<size_t>(ml));
        unsigned char seed[32];
        qzHexBytes(priv_.c_str(), seed, 32);
        EVP_PKEY* k = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, 32);
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        unsigned char sig[64];
        size_t len = 64;
        EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, k);
        EVP_DigestSign(ctx, sig, &len, reinterpret_cast<const unsigned char*>(msg.data()),
                       msg.size());
        EVP_MD_CTX_free(ctx);
        EVP_PKEY_free(k);
        std::string out;
        char b[3];
        for (unsigned char c : sig) {
            snprintf(b, sizeof b, "%02x", c);
            out += b;
        }
        return out;
    }
    // What the masters describe for file as version n.
    stQzFileInfo describe(const std::string& file, int n) {
        stQzFileInfo e{};
        e.number = n;
        e.value = static_cast<uint32_t>(module_.size());
        snprintf(e.digest1, sizeof e.digest1, "%s", digestRaw_.c_str());
        snprintf(e.digest2, sizeof e.digest2, "%s",
                 qzmd5(file.data(), static_cast<unsigned>(file.size()), static_cast<unsigned>(n)));
        return e;
    }
    int install(const std::string& file, const stQzFileInfo& e, const unsigned char* key,
                const char** error) {
        std::ofstream(source(), std::ios::binary) << file;
        return qzInstall(source().c_str(), target().c_str(), 'S', 'L', &e, key, error);
    }
    std::string source() const { return dir_ + "/ls001700.upd"; }
    std::string target() const { return dir_ + "/qzsvnew.so"; }
    bool targetExists() const { return std::filesystem::exists(target()); }

    std::string dir_, priv_, pub_, module_, digestRaw_;
    unsigned char key_[32];
};

}  // namespace

TEST_F(Installer, SignedUpdateIsWrittenWhole) {
    std::string file = build(1700);
    const char* error = "unset";
    EXPECT_EQ(install(file, describe(file, 1700), key_, &error), QZ_INST_INSTALLED);
    EXPECT_EQ(error, nullptr);
    std::ifstream in(target(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), module_);
}

TEST_F(Installer, WithoutAKeyEverythingIsCheckedButNothingWritten) {
    std::string file = build(1700);
    const char* error = "unset";
    EXPECT_EQ(install(file, describe(file, 1700), nullptr, &error), QZ_INST_VERIFIED);
    EXPECT_FALSE(targetExists());
}

TEST_F(Installer, EachFailureHasItsMessageAndLeavesNoTarget) {
    struct Case {
        const char* name;
        const char* error;
    } cases[] = {
        {"no source", "ERROR: Cannot open source file"},
        {"wrong version", "ERROR: Security Mismatch (A)"},
        {"garbled header", "ERROR: Security Mismatch (A)"},
        {"file differs from the description", "ERROR: Security Mismatch (B)"},
        {"raw digest differs from the description", "ERROR: Security Mismatch (B)"},
        {"announced length differs", "ERROR: Size Mismatch"},
        {"data do not inflate", "ERROR: Failed to Uncompress"},
        {"inflated data differ from the digest", "ERROR: Security Mismatch (C)"},
        {"unsigned", "ERROR: Update Not Signed"},
        {"signed by another key", "ERROR: Bad Update Signature"},
        {"signature for another version", "ERROR: Bad Update Signature"},
    };
    for (const Case& c : cases) {
        std::string name = c.name;
        std::string file = build(1700, name != "unsigned");
        stQzFileInfo e = describe(file, 1700);
        unsigned char key[32];
        memcpy(key, key_, 32);
        if (name == "wrong version") e.number = 1701;
        if (name == "garbled header") {
            file[3] = 'X';
            e = describe(file, 1700);
        }
        if (name == "file differs from the description") file += "x";
        if (name == "raw digest differs from the description") {
            e.digest1[0] = e.digest1[0] == '0' ? '1' : '0';
        }
        if (name == "announced length differs") {
            // The header and the description both claim one byte more than the data hold.
            size_t at = file.find(' ', 15);
            file.replace(15, at - 15, std::to_string(module_.size() + 1));
            e = describe(file, 1700);
            e.value = static_cast<uint32_t>(module_.size() + 1);
        }
        if (name == "data do not inflate") {
            size_t body = file.find("\r\n") + 2;
            file[body] = 0;
            e = describe(file, 1700);
        }
        if (name == "inflated data differ from the digest") {
            std::string saved = module_;
            std::string good = build(1700);
            size_t hdr = good.find("\r\n") + 2;
            module_[100] ^= 1;
            std::string bad = build(1700);
            module_ = saved;
            file = good.substr(0, hdr) + bad.substr(bad.find("\r\n") + 2);
            e = describe(file, 1700);
            digestRaw_ = qzmd5(module_.data(), static_cast<unsigned>(module_.size()), 1700);
            snprintf(e.digest1, sizeof e.digest1, "%s", digestRaw_.c_str());
        }
        if (name == "signed by another key") {
            std::string p, q;
            qzm::makeKeyPair(&p, &q);
            qzHexBytes(q.c_str(), key, 32);
        }
        if (name == "signature for another version") {
            // A validly signed 1699 presented as 1700.
            std::string sig = signHex(1699);
            size_t end = file.find("\r\n");
            size_t start = file.rfind(' ', end) + 1;
            file.replace(start, end - start, sig);
            e = describe(file, 1700);
        }
        const char* error = nullptr;
        int res = name == "no source" ? qzInstall((dir_ + "/none").c_str(), target().c_str(), 'S',
                                                  'L', &e, key, &error)
                                      : install(file, e, key, &error);
        EXPECT_EQ(res, QZ_INST_FAILED) << name;
        EXPECT_STREQ(error, c.error) << name;
        EXPECT_FALSE(targetExists()) << name;
    }
}

TEST_F(Installer, DecompressionBombIsRefusedBeforeInflating) {
    // A tiny file that claims 60 MB: more than deflate can shrink to its size.
    std::string small(100, 'a');
    uLongf size = compressBound(small.size());
    std::string packed(size, '\0');
    compress(reinterpret_cast<Bytef*>(packed.data()), &size,
             reinterpret_cast<const Bytef*>(small.data()), small.size());
    packed.resize(size);
    std::string digest = qzmd5(small.data(), 100, 1700);
    std::string file = "<p> U S L 1700 60000000 " + digest + " -\r\n" + packed;
    stQzFileInfo e = describe(file, 1700);
    e.value = 60000000;
    snprintf(e.digest1, sizeof e.digest1, "%s", digest.c_str());
    const char* error = nullptr;
    EXPECT_EQ(install(file, e, key_, &error), QZ_INST_FAILED);
    EXPECT_STREQ(error, "ERROR: Size Mismatch");
}

namespace {

// The transfer's data for an update file: the file compressed once more, as a master sends it.
std::string packTransfer(const std::string& file) {
    uLongf size = compressBound(file.size());
    std::string packed(size, '\0');
    compress(reinterpret_cast<Bytef*>(packed.data()), &size,
             reinterpret_cast<const Bytef*>(file.data()), file.size());
    packed.resize(size);
    return packed;
}

char* heapCopy(const std::string& bytes) {
    char* data = static_cast<char*>(malloc(bytes.size() + 1));
    memcpy(data, bytes.data(), bytes.size());
    return data;
}

}  // namespace

// From a transfer's data, a step handles about the bytes it is given: a module of 400 KB takes
// many steps, nothing is in place until the checks have passed and the pause for the disk is
// over, and then the target holds the module.
TEST_F(Installer, AStepDoesASliceAndTheTargetAppearsOnlyAfterThePauseForTheDisk) {
    module_.resize(400000);
    for (size_t i = 0; i < module_.size(); ++i) {
        module_[i] = static_cast<char>((i * 2654435761u) >> 13);  // hardly compressible
    }
    std::string file = build(1700);
    std::string transfer = packTransfer(file);
    const stQzFileInfo e = describe(file, 1700);
    stQzInstall* job = qzInstallStart(heapCopy(transfer), transfer.size(), file.size(),
                                      target().c_str(), 'S', 'L', &e, key_);
    ASSERT_NE(job, nullptr);
    const char* error = "unset";
    int steps = 0, res = QZ_INST_RUNNING;
    unsigned now = 1000;
    while ((res = qzInstallStep(job, now, 16384, &error)) == QZ_INST_RUNNING && steps < 1000) {
        ++steps;
        if (qzInstallSettling(job)) break;
    }
    EXPECT_GE(steps, static_cast<int>(file.size() / 32768)) << "the file went by in few steps";
    ASSERT_TRUE(qzInstallSettling(job));
    EXPECT_FALSE(targetExists());
    EXPECT_EQ(qzInstallStep(job, now + 4999, 16384, &error), QZ_INST_RUNNING);
    EXPECT_FALSE(targetExists());
    EXPECT_EQ(qzInstallStep(job, now + 5000, 16384, &error), QZ_INST_INSTALLED);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(qzInstallTransferError(job), 0);
    qzInstallFree(job);
    std::ifstream in(target(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_TRUE(ss.str() == module_);
}

// A failure met early does not hide an earlier check: data that do not inflate in a file that
// is not the one described report the description (B), found only once the whole file is read.
// Transfer data that inflate to another length than announced are the transfer's failure.
TEST_F(Installer, TheFirstFailureInOrderIsReportedEvenWhenALaterOneComesFirst) {
    std::string file = build(1700);
    stQzFileInfo e = describe(file, 1700);
    file[file.find("\r\n") + 2] = 0;  // the module's data no longer inflate
    const char* error = nullptr;
    EXPECT_EQ(install(file, e, key_, &error), QZ_INST_FAILED);
    EXPECT_STREQ(error, "ERROR: Security Mismatch (B)");

    std::string good = build(1700);
    std::string transfer = packTransfer(good);
    e = describe(good, 1700);
    stQzInstall* job = qzInstallStart(heapCopy(transfer), transfer.size(), good.size() + 1,
                                      target().c_str(), 'S', 'L', &e, key_);
    int res = QZ_INST_RUNNING;
    for (int i = 0; i < 1000 && res == QZ_INST_RUNNING; ++i) {
        res = qzInstallStep(job, 0, 4096, &error);
    }
    EXPECT_EQ(res, QZ_INST_FAILED);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(qzInstallTransferError(job), 1);
    qzInstallFree(job);
    EXPECT_FALSE(targetExists());
    EXPECT_FALSE(std::filesystem::exists(target() + ".part"));
}

// A step never does more than the work it is given and one piece: a module that compresses a
// thousandfold (a piece of the file inflating to megabytes) is spread over steps like one that
// hardly compresses, from a transfer's data and from a file alike, and the result is the module.
TEST_F(Installer, NoStepDoesMoreThanItsSliceWhateverTheCompression) {
    struct Case {
        const char* what;
        size_t size;
        bool compressible;
        bool transfer;
        unsigned long slice;
    } cases[] = {
        {"a thousandfold, from a transfer", 4u << 20, true, true, 8192},
        {"a thousandfold, from a file", 4u << 20, true, false, 8192},
        {"hardly compressible, from a transfer", 300000, false, true, 8192},
        {"a thousandfold, small slices", 1u << 20, true, true, 1024},
    };
    const unsigned long piece = 8192;  // the most one piece of work adds
    for (const Case& c : cases) {
        module_.assign(c.size, '\0');
        for (size_t i = 0; i < module_.size(); ++i) {
            module_[i] = c.compressible ? static_cast<char>(i / 65536)
                                        : static_cast<char>((i * 2654435761u) >> 13);
        }
        std::string file = build(1700);
        const stQzFileInfo e = describe(file, 1700);
        std::string data = c.transfer ? packTransfer(file) : file;
        stQzInstall* job = qzInstallStart(heapCopy(data), data.size(), c.transfer ? file.size() : 0,
                                          target().c_str(), 'S', 'L', &e, key_);
        ASSERT_NE(job, nullptr) << c.what;
        const char* error = "unset";
        int res = QZ_INST_RUNNING;
        unsigned long most = 0, steps = 0;
        while (res == QZ_INST_RUNNING && !qzInstallSettling(job) && steps < 100000) {
            const unsigned long before = qzInstallWork(job);
            res = qzInstallStep(job, 1000, c.slice, &error);
            most = std::max(most, qzInstallWork(job) - before);
            ++steps;
        }
        EXPECT_LE(most, c.slice + piece) << c.what;
        // Every byte of the file and of the module went through.
        EXPECT_GE(qzInstallWork(job), file.size() + module_.size()) << c.what;
        ASSERT_TRUE(qzInstallSettling(job)) << c.what << ": " << (error ? error : "");
        EXPECT_EQ(qzInstallStep(job, 1000 + 5000, c.slice, &error), QZ_INST_INSTALLED) << c.what;
        qzInstallFree(job);
        std::ifstream in(target(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        EXPECT_TRUE(ss.str() == module_) << c.what;
        std::filesystem::remove(target());
    }
}
