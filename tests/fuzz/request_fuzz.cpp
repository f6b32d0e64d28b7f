// libFuzzer target: arbitrary bytes through request parsing (split at a point the input
// chooses, pipelined requests one after another), then each request's head through target
// resolution and response planning against a small root. Checks, beyond the sanitizers: the
// parser never claims more bytes than it was given, an error always names a status, and every
// file handed out lies beneath the root.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "orvanta/http/byte_range.h"
#include "orvanta/http/http_date.h"
#include "orvanta/http/http_request.h"
#include "orvanta/http/mime_types.h"
#include "orvanta/static/file_handler.h"
#include "orvanta/static/http_resolve.h"

namespace {

std::string g_base;  // temporary directory holding the root, removed at exit
std::string g_root;  // real path of the served root
int g_rootFd = -1;
MimeTypes* g_mime = nullptr;

void Check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "request_fuzz: %s\n", what);
        abort();
    }
}

void MakeRoot() {
    char tmpl[] = "/tmp/vrns-fuzz-XXXXXX";
    Check(mkdtemp(tmpl) != nullptr, "mkdtemp");
    std::string base = tmpl;
    g_base = base;
    atexit([] { std::filesystem::remove_all(g_base); });
    std::string root = base + "/root";
    mkdir(root.c_str(), 0755);
    mkdir((root + "/sub").c_str(), 0755);
    FILE* f = fopen((base + "/secret").c_str(), "w");
    if (f) fclose(f);
    for (const char* name : {"/a.txt", "/index.html", "/sub/index.html"}) {
        f = fopen((root + name).c_str(), "w");
        if (f) {
            fputs("0123456789", f);
            fclose(f);
        }
    }
    symlink("../secret", (root + "/out").c_str());
    symlink("a.txt", (root + "/in").c_str());
    char* real = realpath(root.c_str(), nullptr);
    g_root = real;
    free(real);
    g_rootFd = open(g_root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    Check(g_rootFd >= 0, "open root");
}

void CheckBeneathRoot(int fd) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    Check(n > 0, "readlink");
    target[n] = '\0';
    Check(strncmp(target, g_root.c_str(), g_root.size()) == 0 && target[g_root.size()] == '/',
          "a file outside the root was opened");
}

void Serve(const HttpRequest& request) {
    ResolvedFile file = ResolveTarget(g_rootFd, request.target);
    if (file.status == 0) {
        CheckBeneathRoot(file.fd);
        close(file.fd);
    }
    ServeContext ctx{g_rootFd, g_mime};
    ResponsePlan plan = HandleRequest(request, ctx, 1700000000);
    Check(plan.status >= 200 && plan.status < 600, "status");
    if (plan.fileFd >= 0) {
        CheckBeneathRoot(plan.fileFd);
        close(plan.fileFd);
    }
    ParseRange(request.range, 10);
    time_t t;
    ParseHttpDate(request.ifModifiedSince, &t);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    MakeRoot();
    g_mime = new MimeTypes();
    g_mime->Load("/etc/mime.types");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses where the input is cut in two, as reads from a socket would.
    size_t cut = 1 + (size > 1 ? data[0] % (size - 1) : 0);
    std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    RequestParser parser;
    size_t pos = 0, fed = std::min(cut - 1, input.size());
    for (int requests = 0; requests < 64; ++requests) {
        size_t used = 0;
        ParseResult r = parser.Feed(input.data() + pos, fed - pos, &used);
        Check(used <= fed - pos, "consumed more than given");
        pos += used;
        if (r == ParseResult::kError) {
            int s = parser.errorStatus();
            Check(s == 400 || s == 413 || s == 414 || s == 417 || s == 431 || s == 501 || s == 505,
                  "error without a status");
            break;
        }
        if (r == ParseResult::kNeedMore) {
            if (fed == input.size()) break;
            fed = input.size();
            continue;
        }
        if (r == ParseResult::kHead) {
            Serve(parser.request());
        } else {
            parser.Reset();
        }
    }
    return 0;
}
