// A PostgreSQL server of a test's own, from Debian's postgresql packages: a new cluster made by
// initdb in a temporary folder, listening on a loopback port and on a socket in that folder, with
// pg_stat_statements loaded so that a test can count the queries an application ran. As root it
// runs as the unprivileged user nobody (PostgreSQL refuses root). Start() says why when it cannot
// run here (no postgresql installed); the destructor stops the server (a fast shutdown, then a
// kill at the deadline) and removes the folder.
#pragma once

#include <arpa/inet.h>
#include <glob.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/host_double/test_host.h"
#include "tests/support/server_process.h"
#include "tests/support/test_files.h"

namespace vrns_test {

class PostgresServer {
  public:
    static constexpr uid_t kNobody = 65534;
    static constexpr auto kStartDeadline = std::chrono::seconds(60);
    static constexpr auto kStopDeadline = std::chrono::seconds(30);
    static constexpr int kCommandSeconds = 120;

    ~PostgresServer() { Stop(); }

    // Empty when the server runs and answers; else why not.
    std::string Start() {
        bin_ = NewestBin();
        if (bin_.empty()) return "no PostgreSQL installed (/usr/lib/postgresql/*/bin/postgres)";
        if (!std::filesystem::exists(bin_ + "/../lib/pg_stat_statements.so"))
            return "PostgreSQL has no pg_stat_statements";
        char tmpl[] = "/tmp/vrns-pg-XXXXXX";
        if (!mkdtemp(tmpl)) return "mkdtemp failed";
        dir_ = tmpl;
        if (geteuid() == 0 && chown(dir_.c_str(), kNobody, kNobody) != 0) return "chown failed";
        if (Run({bin_ + "/initdb", "-D", dir_ + "/data", "-U", "postgres", "-A", "trust", "-E", "UTF8",
                 "--no-locale", "--no-sync"},
                dir_ + "/initdb.log") != 0)
            return "initdb failed: " + ReadFile(dir_ + "/initdb.log");
        port_ = FreePort();
        pid_ = Spawn({bin_ + "/postgres", "-D", dir_ + "/data", "-p", std::to_string(port_), "-k", dir_, "-c",
                      "listen_addresses=127.0.0.1", "-c", "shared_preload_libraries=pg_stat_statements", "-c",
                      "fsync=off", "-c", "max_connections=200"},
                     dir_ + "/server.log");
        if (pid_ <= 0) return "could not start postgres";
        bool up =
            WaitUntil([&] { return Psql("postgres", "SELECT 1") == "1\n" || Exited(); }, kStartDeadline);
        if (!up || Exited()) return "postgres did not come up: " + ReadFile(dir_ + "/server.log");
        return "";
    }

    // The output of one statement list (unaligned, tuples only), run as the superuser on db;
    // what psql printed on error too.
    std::string Psql(const std::string& db, const std::string& sql) const {
        std::string file = dir_ + "/query.sql";
        WriteFile(file, sql);
        std::string command = "timeout -s KILL " + std::to_string(kCommandSeconds) + " " + bin_ +
                              "/psql -X -q -At -v ON_ERROR_STOP=1 -h 127.0.0.1 -p " + std::to_string(port_) +
                              " -U postgres -d " + db + " -f " + file + " 2>&1";
        std::string out;
        if (FILE* p = popen(command.c_str(), "r")) {
            char buffer[4096];
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
            pclose(p);
        }
        return out;
    }

    int port() const { return port_; }

    void Stop() {
        if (pid_ > 0) {
            int code;
            kill(pid_, SIGINT);  // PostgreSQL's fast shutdown
            if (!ReapWithin(pid_, kStopDeadline, &code)) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
            pid_ = 0;
        }
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
            dir_.clear();
        }
    }

  private:
    static std::string NewestBin() {
        glob_t g{};
        std::string newest;
        if (glob("/usr/lib/postgresql/*/bin/postgres", 0, nullptr, &g) == 0)
            for (size_t i = 0; i < g.gl_pathc; ++i) {
                std::string dir = std::filesystem::path(g.gl_pathv[i]).parent_path();
                if (newest.empty() || atoi(dir.c_str() + 20) > atoi(newest.c_str() + 20)) newest = dir;
            }
        globfree(&g);
        return newest;
    }

    // An ephemeral port the kernel hands out, free now; PostgreSQL binds it a moment later.
    static int FreePort() {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        close(fd);
        return ntohs(a.sin_port);
    }

    // The child drops to nobody when the test runs as root, root's supplementary groups too.
    pid_t Spawn(const std::vector<std::string>& args, const std::string& log) const {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (geteuid() == 0 && (fchown(fd, kNobody, kNobody) != 0 || setgroups(0, nullptr) != 0 ||
                                   setgid(kNobody) != 0 || setuid(kNobody) != 0))
                _exit(126);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }

    int Run(const std::vector<std::string>& args, const std::string& log) const {
        pid_t pid = Spawn(args, log);
        int code = -1;
        if (pid > 0 && !ReapWithin(pid, std::chrono::seconds(kCommandSeconds), &code)) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        return code;
    }

    bool Exited() {
        int code;
        if (pid_ > 0 && ReapWithin(pid_, std::chrono::milliseconds(0), &code)) pid_ = 0;
        return pid_ == 0;
    }

    std::string bin_, dir_;
    int port_ = 0;
    pid_t pid_ = 0;
};

}  // namespace vrns_test
