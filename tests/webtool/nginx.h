// nginx for the WebTool's tests and benchmarks: a configuration of its own in a temporary
// directory, one foreground process on a free loopback port, stopped and removed at the end.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "web_client.h"

namespace webtest {

struct Nginx {
    std::string dir;
    pid_t pid = -1;
    int port = 0;

    // Starts nginx with server holding the lines of its "server" block (the listen line is
    // added). False when nginx is not installed or does not answer within two seconds.
    bool start(const std::string& server) {
        if (access("/usr/sbin/nginx", X_OK) != 0) return false;
        char pattern[] = "/tmp/qznginx-XXXXXX";
        if (!mkdtemp(pattern)) return false;
        dir = pattern;
        std::filesystem::create_directories(dir + "/www");
        port = freePort();
        std::ofstream conf(dir + "/nginx.conf");
        conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
             << "error_log " << dir << "/error.log;\npid " << dir << "/nginx.pid;\n"
             << (getuid() == 0 ? "user root;\n" : "")
             << "events { worker_connections 1024; }\nhttp {\n access_log off;\n"
             << " client_body_temp_path " << dir << "/body;\n proxy_temp_path " << dir
             << "/proxy;\n fastcgi_temp_path " << dir << "/fcgi;\n uwsgi_temp_path " << dir
             << "/uwsgi;\n scgi_temp_path " << dir << "/scgi;\n"
             << " default_type text/html;\n server {\n  listen 127.0.0.1:" << port << ";\n  root "
             << dir << "/www;\n"
             << server << "\n }\n}\n";
        conf.close();
        pid = fork();
        if (pid == 0) {
            execl("/usr/sbin/nginx", "nginx", "-p", dir.c_str(), "-c",
                  (dir + "/nginx.conf").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            int s = connectTo(port);
            if (s >= 0) {
                close(s);
                return true;
            }
            usleep(10000);
        }
        return false;
    }
    ~Nginx() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (!dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }
};

}  // namespace webtest
