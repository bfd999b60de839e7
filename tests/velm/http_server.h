// The test HTTP server (http_server.py) as a test sees it: started on
// 127.0.0.1 in a fresh folder, stopped with the object.
#ifndef VELM_TEST_HTTP_SERVER_H
#define VELM_TEST_HTTP_SERVER_H

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

class HttpServer {
public:
    HttpServer()
    {
        char dir[] = "/tmp/velm_http_XXXXXX";
        if (mkdtemp(dir) == nullptr)
            return;
        root_ = dir;
        log_ = root_ + "/requests.log";
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            execl(VELM_PYTHON3, VELM_PYTHON3, VELM_HTTP_SERVER_SCRIPT, root_.c_str(), log_.c_str(),
                  (char *)nullptr);
            _exit(127);
        }
        close(out[1]);
        FILE *in = fdopen(out[0], "r");
        if (in == nullptr || fscanf(in, "%d", &port_) != 1)
            port_ = 0;
        if (in != nullptr)
            fclose(in);
    }
    ~HttpServer()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (!root_.empty()) {
            std::string command = "rm -rf '" + root_ + "'";
            if (system(command.c_str()) != 0)
                perror("rm");
        }
    }
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    bool ok() const { return port_ > 0; }
    // Puts `bytes` where the server serves them as /name.
    void Put(const std::string &name, const std::vector<uint8_t> &bytes) const
    {
        std::ofstream(root_ + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::string Url(const std::string &pathAndQuery) const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + pathAndQuery;
    }
    // One line per request so far: "path range" (range "-" when none).
    std::vector<std::string> Requests() const
    {
        std::ifstream in(log_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    void ClearRequests() const { std::ofstream(log_, std::ios::trunc); }

private:
    std::string root_, log_;
    pid_t pid_ = -1;
    int port_ = 0;
};

inline int ProcThreads()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0)
            return atoi(line.c_str() + 8);
    }
    return -1;
}

// Threads of this process, from /proc. A sanitizer may start a helper thread of its own when the
// process starts its first thread (ThreadSanitizer does): one thread started and joined before
// the first count makes the helper part of every count. A joined thread may stay in /proc a
// moment (under an emulator in particular), so the first count waits until the count has held
// still for 100 ms.
inline int ThreadCount()
{
    static const bool helperStarted = [] {
        std::thread([] {}).join();
        int last = ProcThreads();
        for (int i = 0, still = 0; i < 200 && still < 10; i++) {
            usleep(10000);
            int n = ProcThreads();
            still = n == last ? still + 1 : 0;
            last = n;
        }
        return true;
    }();
    (void)helperStarted;
    return ProcThreads();
}

// The thread count once it is back to `expected` or below, or what it is after two seconds: a
// thread that has been joined may leave the process a moment later.
inline int ThreadCountAfterSettling(int expected)
{
    int n = ThreadCount();
    for (int i = 0; i < 200 && n > expected; i++) {
        usleep(10000);
        n = ThreadCount();
    }
    return n;
}

#endif // VELM_TEST_HTTP_SERVER_H
