// The sample's chat page in a real browser: headless Chromium (Debian's chromium) opens /chat
// in two pages, the first sends a message through the page's own form, and both pages show it,
// as text (the markup in it is not parsed). Chromium is driven over its DevTools protocol on a
// pipe (--remote-debugging-pipe: JSON messages, each ending in a NUL, read from descriptor 3
// and written to descriptor 4), so the test needs nothing but the browser. Every wait has a
// deadline: a message's, and the page's own promise, bounded by it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/host_double/test_host.h"
#include "tests/support/server_process.h"
#include "tests/support/test_files.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char* const kChromium = "/usr/bin/chromium";
// A page's script runs within this; the browser answers a command within it.
constexpr auto kDeadline = 20s;

// A string member of a JSON message (the first with that name), unescaped; "" when absent.
std::string JsonString(const std::string& message, const std::string& name) {
    size_t at = message.find("\"" + name + "\":\"");
    if (at == std::string::npos) return "";
    std::string out;
    for (at += name.size() + 4; at < message.size() && message[at] != '"'; ++at) {
        char c = message[at];
        if (c == '\\' && at + 1 < message.size()) {
            c = message[++at];
            if (c == 'n') c = '\n';
            if (c == 'u' && at + 4 < message.size()) {
                c = char(strtol(message.substr(at + 1, 4).c_str(), nullptr, 16));
                at += 4;
            }
        }
        out += c;
    }
    return out;
}

// A JSON string literal of s (the test's own scripts: ASCII).
std::string Quoted(const std::string& s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

class Browser {
  public:
    ~Browser() { Close(); }

    // Closes the browser (killed, with its helpers, when it does not end in time).
    void Close() {
        if (pid_ <= 0) return;
        Call("Browser.close", "{}");
        int status;
        if (!WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 10s)) {
            kill(-pid_, SIGKILL);  // the browser and its helpers: a group of their own
            waitpid(pid_, &status, 0);
        }
        pid_ = 0;
        close(toBrowser_);
        close(fromBrowser_);
    }

    bool Start(const std::string& profile, const std::string& log) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
        signal(SIGPIPE, SIG_IGN);  // a browser gone makes a write fail, not the test die
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            // Either end may already be 3 or 4: both move above them first.
            int reads = fcntl(in[0], F_DUPFD_CLOEXEC, 10), writes = fcntl(out[1], F_DUPFD_CLOEXEC, 10);
            dup2(reads, 3);
            dup2(writes, 4);
            int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(logFd, STDOUT_FILENO);
            dup2(logFd, STDERR_FILENO);
            std::string dir = "--user-data-dir=" + profile;
            execl(kChromium, kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--disable-background-timer-throttling",
                  "--disable-renderer-backgrounding", "--disable-backgrounding-occluded-windows",
                  "--remote-debugging-pipe", dir.c_str(), "about:blank", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toBrowser_ = in[1];
        fromBrowser_ = out[0];
        return pid_ > 0;
    }

    // Sends a command (to a page's session, when given) and returns the browser's answer to it;
    // "" when none came within the deadline.
    std::string Call(const std::string& method, const std::string& params, const std::string& session = "") {
        int id = nextId_++;
        std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method +
                              "\",\"params\":" + params +
                              (session.empty() ? "" : ",\"sessionId\":\"" + session + "\"") + "}";
        message += '\0';
        for (size_t at = 0; at < message.size();) {
            ssize_t n = write(toBrowser_, message.data() + at, message.size() - at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return "";
            at += size_t(n);
        }
        std::string answer, idField = "{\"id\":" + std::to_string(id) + ",";
        auto end = Clock::now() + kDeadline;
        while (NextMessage(end, &answer))
            if (answer.rfind(idField, 0) == 0) return answer;
        return "";
    }

    // Opens url in a new page; the page's session, "" when it failed.
    std::string Open(const std::string& url) {
        std::string target =
            JsonString(Call("Target.createTarget", "{\"url\":" + Quoted(url) + "}"), "targetId");
        if (target.empty()) return "";
        return JsonString(Call("Target.attachToTarget", "{\"targetId\":\"" + target + "\",\"flatten\":true}"),
                          "sessionId");
    }

    // The string a page's script resolves to. A script run before the page has loaded (or
    // while it navigates) fails, and is run again until the deadline.
    std::string Evaluate(const std::string& session, const std::string& script) {
        auto end = Clock::now() + kDeadline;
        std::string params =
            "{\"expression\":" + Quoted(script) + ",\"awaitPromise\":true,\"returnByValue\":true}";
        while (Clock::now() < end) {
            std::string answer = Call("Runtime.evaluate", params, session);
            if (answer.find("\"exceptionDetails\"") == std::string::npos &&
                answer.find("\"type\":\"string\"") != std::string::npos)
                return JsonString(answer, "value");
            std::this_thread::sleep_for(50ms);
        }
        return "";
    }

  private:
    // The next whole message into *message; false once the deadline passed or the pipe ended.
    bool NextMessage(Clock::time_point end, std::string* message) {
        size_t nul;
        while ((nul = buffer_.find('\0')) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{fromBrowser_, POLLIN, 0};
            int ready = poll(&p, 1, int(left));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            char chunk[65536];
            ssize_t n = read(fromBrowser_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buffer_.append(chunk, size_t(n));
        }
        *message = buffer_.substr(0, nul);
        buffer_.erase(0, nul + 1);
        return true;
    }

    pid_t pid_ = 0;
    int toBrowser_ = -1, fromBrowser_ = -1, nextId_ = 1;
    std::string buffer_;
};

// Resolves once the page's socket is open.
const char* const kOpened =
    "new Promise(done => { const check = () => document.body && document.body.dataset.state === 'open'"
    " ? done('open') : setTimeout(check, 20); check(); })";
// Resolves with the first line of the chat's log, and how many elements the log holds besides
// its lines (markup in a message that became elements).
const char* const kFirstLine =
    "new Promise(done => { const check = () => { const lines = document.querySelectorAll('#log li');"
    " lines.length ? done(lines[0].textContent + ' | ' + document.querySelectorAll('#log li *').length)"
    " : setTimeout(check, 20); }; check(); })";

TEST(BrowserChat, MessageSentFromOnePageShowsOnEvery) {
    ASSERT_EQ(access(kChromium, X_OK), 0)
        << kChromium << " is missing: scripts/install-deps.sh test installs it";
    char tmpl[] = "/tmp/vrns-chat-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string base = tmpl, profile = base + "/profile";
    ASSERT_EQ(mkdir(profile.c_str(), 0700), 0);
    {
        vrns_test::ServerFixture server;
        ASSERT_TRUE(server.Start(
            base, {VRNS_MANAGED_DIR "/VrnsSample.exe", "--listen", "127.0.0.1:0", "--root", base}))
            << server.Err();
        const std::string page = "http://127.0.0.1:" + std::to_string(server.port()) + "/chat";
        Browser browser;
        ASSERT_TRUE(browser.Start(profile, base + "/chromium.log"));
        std::string first = browser.Open(page), second = browser.Open(page);
        ASSERT_FALSE(first.empty()) << vrns_test::ReadFile(base + "/chromium.log");
        ASSERT_FALSE(second.empty());
        ASSERT_EQ(browser.Evaluate(first, kOpened), "open");
        ASSERT_EQ(browser.Evaluate(second, kOpened), "open");
        const std::string said = "hello <b>from</b> the first page";
        ASSERT_EQ(browser.Evaluate(first, "document.getElementById('text').value = " + Quoted(said) +
                                              "; document.querySelector('#say button').click(); 'sent'"),
                  "sent");
        EXPECT_EQ(browser.Evaluate(second, kFirstLine), said + " | 0");
        EXPECT_EQ(browser.Evaluate(first, kFirstLine), said + " | 0");
        // The browser goes first: a connection it opened in advance and never used would hold
        // the drain for its whole bound, as one waiting for its first request does.
        browser.Close();
        EXPECT_EQ(server.Stop(), 0) << server.Err();
    }
    EXPECT_EQ(system(("rm -rf '" + base + "'").c_str()), 0);
}

}  // namespace
