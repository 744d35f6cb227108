// The nginx configuration of docs/webtool-proxy.md, as the page writes it: nginx accepts it
// (`nginx -t`), and run with the module absent, neither of its logs records the digest of a
// refresh link. Only the directories of the certificate, the included file and the logs are
// pointed at a temporary directory, and for the run the ports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "web_client.h"

namespace {

namespace fs = std::filesystem;

const char* const kNginx = "/usr/sbin/nginx";
const char* const kOpenssl = "/usr/bin/openssl";
const char* const kCurl = "/usr/bin/curl";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs a program (no shell) in dir with its output and errors gathered; returns its exit code
// (-1 when it could not run or was killed).
int runIn(const std::string& dir, const std::vector<std::string>& args, std::string* output) {
    std::string log = dir + "/run.out";
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) _exit(126);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    if (output) *output = readFile(log);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The text between the opening fence and the closing fence of every block marked lang.
std::vector<std::string> fencedBlocks(const std::string& text, const std::string& lang) {
    std::vector<std::string> blocks;
    const std::string open = "```" + lang + "\n";
    for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at)) {
        at += open.size();
        size_t end = text.find("\n```", at);
        if (end == std::string::npos) break;
        blocks.push_back(text.substr(at, end - at + 1));
        at = end;
    }
    return blocks;
}

// Replaces every occurrence of from; returns how many there were.
int replaceAll(std::string* text, const std::string& from, const std::string& to) {
    int n = 0;
    for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at)) {
        text->replace(at, from.size(), to);
        at += to.size();
        n++;
    }
    return n;
}

class ProxyDoc : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {kNginx, kOpenssl}) {
            if (access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is missing (scripts/deps.sh)";
        }
        char pattern[] = "/tmp/qzproxydoc-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        doc_ = readFile(std::string(QZ_SOURCE_DIR) + "/docs/webtool-proxy.md");
        ASSERT_FALSE(doc_.empty());
        for (const std::string& block : fencedBlocks(doc_, "nginx")) {
            if (block.find("server {") != std::string::npos) {
                site_ = block;
            } else if (block.find("proxy_pass") != std::string::npos) {
                included_ = block;
            }
        }
        ASSERT_FALSE(site_.empty()) << "no nginx block with a server in the page";
        ASSERT_FALSE(included_.empty()) << "no nginx block with proxy_pass in the page";
        makeCertificate();
    }
    void TearDown() override {
        if (!dir_.empty()) {
            std::error_code ignored;
            fs::remove_all(dir_, ignored);
        }
    }

    // The certificate of the page's own "openssl req" line, made in the directory, under the
    // names the configuration gives.
    void makeCertificate() {
        size_t at = doc_.find("`openssl req ");
        ASSERT_NE(at, std::string::npos) << "the page no longer shows how to make a certificate";
        size_t end = doc_.find('`', at + 1);
        std::istringstream words(doc_.substr(at + 1, end - at - 1));
        std::vector<std::string> args{kOpenssl};
        std::string word;
        words >> word;  // "openssl"
        while (words >> word) args.push_back(word);
        std::string out;
        ASSERT_EQ(runIn(dir_, args, &out), 0) << out;
        fs::rename(dir_ + "/cert.pem", dir_ + "/fullchain.pem");
        fs::rename(dir_ + "/key.pem", dir_ + "/privkey.pem");
    }

    // The page's configuration with its directories in the temporary one, and the main file
    // that nginx.conf of Debian would be around it. More changes (ports) go through edit.
    std::string configure(const std::function<void(std::string*)>& edit = nullptr) {
        std::string site = site_;
        std::string included = included_;
        EXPECT_EQ(replaceAll(&site, "/etc/letsencrypt/live/admin.example.org/", dir_ + "/"), 2);
        EXPECT_GE(replaceAll(&site, "/etc/nginx/", dir_ + "/"), 1);
        replaceAll(&site, "/var/log/nginx/", dir_ + "/");
        if (edit) edit(&site);
        // Nothing of the machine's own nginx is touched.
        EXPECT_EQ(site.find("/etc/"), std::string::npos) << site;
        EXPECT_EQ(site.find("/var/"), std::string::npos) << site;
        std::ofstream(dir_ + "/webtool") << site;
        std::ofstream(dir_ + "/webtool-proxy.conf") << included;
        std::string conf = dir_ + "/nginx.conf";
        std::ofstream main(conf);
        main << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
             << (getuid() == 0 ? "user root;\n" : "") << "pid " << dir_ << "/nginx.pid;\n"
             << "error_log " << dir_ << "/main-error.log;\n"
             << "events { worker_connections 64; }\nhttp {\n"
             << " client_body_temp_path " << dir_ << "/body;\n proxy_temp_path " << dir_
             << "/proxy;\n fastcgi_temp_path " << dir_ << "/fcgi;\n uwsgi_temp_path " << dir_
             << "/uwsgi;\n scgi_temp_path " << dir_ << "/scgi;\n"
             << " include " << dir_ << "/webtool;\n}\n";
        return conf;
    }

    // Runs the configuration on loopback with nothing behind it, asks for a refresh link
    // carrying digest over HTTPS, and returns what both logs and the access log hold.
    std::string logsAfterARefreshWhileTheModuleIsDown(const std::string& digest, bool keepCrit) {
        int plain = webtest::freePort();
        int tls = webtest::freePort();
        int absent = webtest::freePort();
        std::string conf = configure([&](std::string* site) {
            EXPECT_EQ(
                replaceAll(site, "listen 80;", "listen 127.0.0.1:" + std::to_string(plain) + ";"),
                1);
            EXPECT_EQ(replaceAll(site, "listen 443 ssl http2;",
                                 "listen 127.0.0.1:" + std::to_string(tls) + " ssl http2;"),
                      1);
            if (!keepCrit) {
                EXPECT_EQ(replaceAll(site, " crit;", ";"), 1);
            }
        });
        EXPECT_EQ(replaceAll(&included_, "proxy_pass http://127.0.0.1:8080;",
                             "proxy_pass http://127.0.0.1:" + std::to_string(absent) + ";"),
                  1);
        std::ofstream(dir_ + "/webtool-proxy.conf") << included_;
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open("/dev/null", O_WRONLY);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(kNginx, "nginx", "-p", (dir_ + "/").c_str(), "-e",
                  (dir_ + "/main-error.log").c_str(), "-c", conf.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        bool up = false;
        for (int i = 0; i < 2000 && !up; ++i) {
            int s = webtest::connectTo(tls);
            if (s >= 0) {
                close(s);
                up = true;
            } else {
                usleep(10000);
            }
        }
        EXPECT_TRUE(up) << "nginx did not start: " << readFile(dir_ + "/main-error.log");
        std::string host = "admin.example.org:" + std::to_string(tls);
        std::string answer;
        int rc =
            runIn(dir_,
                  {kCurl, "-sk", "--http2", "--max-time", "30", "--resolve", host + ":127.0.0.1",
                   "-o", "/dev/null", "-w", "%{http_code} %{http_version}",
                   "https://" + host + "/qzsvweb/plist=1&webkey=" + digest},
                  &answer);
        EXPECT_EQ(rc, 0) << answer;
        EXPECT_EQ(answer, "502 2") << "a refresh while the module is down, over HTTP/2";
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        std::string logs;
        for (const char* name : {"/main-error.log", "/webtool-error.log", "/webtool-access.log"}) {
            logs += std::string(name) + ":\n" + readFile(dir_ + name) + "\n";
        }
        return logs;
    }

    std::string dir_, doc_, site_, included_;
};

TEST_F(ProxyDoc, TheDocumentedConfigurationPassesTheTestOfTheInstalledNginx) {
    std::string conf = configure();
    std::string out;
    int rc = runIn(
        dir_, {kNginx, "-t", "-p", dir_ + "/", "-e", dir_ + "/main-error.log", "-c", conf}, &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("test is successful"), std::string::npos) << out;
    EXPECT_EQ(out.find("[emerg]"), std::string::npos) << out;
}

TEST_F(ProxyDoc, NeitherLogRecordsTheDigestOfARefreshWhileTheModuleIsDown) {
    if (access(kCurl, X_OK) != 0) GTEST_SKIP() << "curl is missing (scripts/deps.sh)";
    const std::string digest = "0000002A0123456789ABCDEF01234567";
    std::string logs = logsAfterARefreshWhileTheModuleIsDown(digest, true);
    EXPECT_EQ(logs.find(digest), std::string::npos) << logs;
    // The access log still says who asked and that the module did not answer.
    EXPECT_NE(logs.find("127.0.0.1:"), std::string::npos) << logs;
    EXPECT_NE(logs.find(" GET 502 "), std::string::npos) << logs;
}

// The same without the error log's level: nginx writes the digest, which is why it is set.
TEST_F(ProxyDoc, WithoutTheErrorLogLevelTheDigestWouldBeWritten) {
    if (access(kCurl, X_OK) != 0) GTEST_SKIP() << "curl is missing (scripts/deps.sh)";
    const std::string digest = "0000002A0123456789ABCDEF01234567";
    std::string logs = logsAfterARefreshWhileTheModuleIsDown(digest, false);
    EXPECT_NE(logs.find("plist=1&webkey=" + digest), std::string::npos) << logs;
}

}  // namespace
