// Waiting copies of program files as the update installer leaves them: the copy and its record
// "<copy>.sig", signed with a key pair made for the test, whose public half becomes the home
// directory's qzsvkey.pub.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "qzmaster/master.h"
#include "remote/install.h"
#include "remote/mastauth.h"

namespace testrec {

// Makes a key pair, writes its public half to homeDir + "qzsvkey.pub" and returns the private
// one (32 bytes) in key.
inline void makeKey(const std::string& homeDir, unsigned char key[32]) {
    std::string priv, pub;
    ASSERT_TRUE(qzm::makeKeyPair(&priv, &pub));
    ASSERT_TRUE(qzHexBytes(priv.c_str(), key, 32));
    std::ofstream(homeDir + "qzsvkey.pub") << pub << "\n";
}

// Writes dir + name + ".sig" for the file dir + name as the installer does: kind, "L", the
// version number, the size and the signature of the manifest.
inline void writeRecord(const std::string& dir, const std::string& name, char kind,
                        const unsigned char key[32], int number = 1674) {
    std::ifstream in(dir + name, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    char manifest[QZ_UPD_MANIFEST];
    int ml =
        qzUpdateManifest(manifest, sizeof manifest, kind, 'L', number, data.data(), data.size());
    ASSERT_GT(ml, 0);
    char sig[2 * QZ_UPD_SIG_LEN + 1];
    ASSERT_TRUE(maSign(key, manifest, static_cast<size_t>(ml), sig));
    std::ofstream(dir + name + ".sig")
        << kind << " L " << number << " " << data.size() << " " << sig << "\r\n";
}

}  // namespace testrec
