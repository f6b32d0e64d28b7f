#include "orvanta/server/server_options.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "epoll/vrn_listen_callback.h"

static_assert(kVrnMaxTimeoutSec == 235, "the usage text below names the longest --read-timeout");

const char kServerUsage[] =
    "usage: vrns [options]\n"
    "Serves the files beneath a directory over HTTP/1.1.\n"
    "  --listen HOST:PORT      address to listen on (default 127.0.0.1:8080; IPv6 as [::1]:8080)\n"
    "  --root DIR              directory to serve (default: the current directory)\n"
    "  --read-timeout SECONDS  close a connection that sends no complete request for this long:\n"
    "                          idle, or from a request's first byte to its end\n"
    "                          (default 30, at most 235)\n"
    "  --max-connections N     stop accepting while N connections are open (default: what the\n"
    "                          descriptor limit allows, keeping some in reserve, and at most\n"
    "                          a quarter of the memory / 128 KiB)\n"
    "  --access-log FILE|-|off where to write the access log (default -, standard output)\n"
    "  --autoindex             list directories that have no index.html (default: 403)\n"
    "  --reuse-port            share the port with other vrns processes (SO_REUSEPORT)\n"
    "  --status-path PATH      answer counters in the Prometheus text format at PATH\n"
    "                          (default: none; a file at PATH is no longer served)\n"
    "  --open-file-cache ENTRIES[:BYTES]|off\n"
    "                          keep up to ENTRIES open files and BYTES of small files' contents\n"
    "                          (default 1024:16m; k and m suffixes); a change to a file is seen\n"
    "                          within 1 s; off opens every file afresh\n"
    "  --small-file-limit BYTES files up to this size go out with their header in one write\n"
    "                          (default 64k, at most 1m; 0: always the file sender)\n"
    "  --drain-timeout SECONDS at stop, how long responses may still take before they are cut\n"
    "                          and logged (default 5; 0: wait for every one)\n"
    "  --help                  this text\n"
    "  --version               the version\n";

namespace {

constexpr uint64_t kReservedDescriptors = 64;
constexpr uint64_t kDescriptorsPerConnection = 2;
constexpr int kMostConnections = 1000000;
constexpr int kMostDrainSeconds = 86400;
// The default connection limit lets connections hold at worst this fraction of the memory
// (1/4): the rest is for the cache, the page cache and the machine's other work.
constexpr uint64_t kMemoryShareForConnections = 4;

bool ParseInt(const std::string& s, long min, long max, int* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    *out = int(v);
    return true;
}

bool ParsePort(const std::string& s, in_port_t* port) {
    int v;
    if (!ParseInt(s, 0, 65535, &v)) return false;
    *port = htons(in_port_t(v));
    return true;
}

bool IsValueOption(std::string_view name) {
    for (const char* known : {"--listen", "--root", "--read-timeout", "--max-connections", "--access-log",
                              "--status-path", "--open-file-cache", "--small-file-limit", "--drain-timeout"})
        if (name == known) return true;
    return false;
}

// Options without a value; false when arg is none of them.
bool ApplyFlag(std::string_view arg, ServerOptions* o) {
    if (arg == "--help")
        o->help = true;
    else if (arg == "--autoindex")
        o->autoindex = true;
    else if (arg == "--reuse-port")
        o->reusePort = true;
    else
        return false;
    return true;
}

// "off", or "ENTRIES" or "ENTRIES:BYTES".
bool ParseCacheOption(const std::string& value, ServerOptions* o) {
    if (value == "off") {
        o->openFileCache = false;
        return true;
    }
    size_t colon = value.find(':');
    int entries;
    if (!ParseInt(value.substr(0, colon), 1, 1000000, &entries)) return false;
    o->openFileCache = true;
    o->cacheEntries = size_t(entries);
    return colon == std::string::npos ||
           ParseByteCount(value.substr(colon + 1), uint64_t(1) << 40, &o->cacheBytes);
}

// Applies one option with its value; false with *error set when the value is bad.
bool ApplyOption(std::string_view name, const std::string& value, ServerOptions* o, std::string* error) {
    if (name == "--listen") {
        o->listen = value;
        if (ParseListenAddress(value, &o->address, &o->addressLength)) return true;
        *error = "bad --listen address '" + value + "' (expected HOST:PORT or [IPv6]:PORT)";
    } else if (name == "--root") {
        o->root = value;
        if (!value.empty()) return true;
        *error = "--root needs a directory";
    } else if (name == "--read-timeout") {
        // The engine keeps no longer time-out than this; a longer one would be cut short silently.
        if (ParseInt(value, 1, kVrnMaxTimeoutSec, &o->readTimeoutSec)) return true;
        *error = "bad --read-timeout '" + value + "' (expected 1 to " + std::to_string(kVrnMaxTimeoutSec) +
                 " seconds)";
    } else if (name == "--max-connections") {
        if (ParseInt(value, 1, kMostConnections, &o->maxConnections)) return true;
        *error = "bad --max-connections '" + value + "' (expected 1 to 1000000)";
    } else if (name == "--access-log") {
        o->accessLog = value;
        if (!value.empty()) return true;
        *error = "--access-log needs a file, - or off";
    } else if (name == "--status-path") {
        o->statusPath = value;
        if (value.size() > 1 && value[0] == '/' && value.find_first_of("?#") == std::string::npos)
            return true;
        *error = "bad --status-path '" + value + "' (expected a path such as /status)";
    } else if (name == "--open-file-cache") {
        if (ParseCacheOption(value, o)) return true;
        *error = "bad --open-file-cache '" + value + "' (expected ENTRIES, ENTRIES:BYTES or off)";
    } else if (name == "--drain-timeout") {
        if (ParseInt(value, 0, kMostDrainSeconds, &o->drainTimeoutSec)) return true;
        *error = "bad --drain-timeout '" + value + "' (expected 0 to " + std::to_string(kMostDrainSeconds) +
                 " seconds)";
    } else if (name == "--small-file-limit") {
        if (ParseByteCount(value, 1u << 20, &o->smallFileMax)) return true;
        *error = "bad --small-file-limit '" + value + "' (expected 0 to 1m bytes)";
    }
    return false;
}

}  // namespace

bool ParseByteCount(const std::string& text, uint64_t max, uint64_t* out) {
    std::string digits = text;
    uint64_t unit = 1;
    if (!digits.empty() && (digits.back() == 'k' || digits.back() == 'm')) {
        unit = digits.back() == 'k' ? 1024 : 1024 * 1024;
        digits.pop_back();
    }
    if (digits.empty() || digits.size() > 15 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    uint64_t v = strtoull(digits.c_str(), nullptr, 10) * unit;
    if (v > max) return false;
    *out = v;
    return true;
}

int DefaultMaxConnections(uint64_t descriptors, uint64_t memoryBytes) {
    if (descriptors <= kReservedDescriptors + kDescriptorsPerConnection) return 1;
    uint64_t n = (descriptors - kReservedDescriptors) / kDescriptorsPerConnection;
    if (memoryBytes > 0) n = std::min(n, memoryBytes / kMemoryShareForConnections / kWorstBytesPerConnection);
    return int(std::clamp<uint64_t>(n, 1, kMostConnections));
}

uint64_t PhysicalMemoryBytes() {
    long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) : 0;
}

bool ParseListenAddress(const std::string& text, sockaddr_storage* out, socklen_t* length) {
    memset(out, 0, sizeof *out);
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = text.substr(0, colon), port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(out);
        a6->sin6_family = AF_INET6;
        *length = sizeof *a6;
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &a6->sin6_addr) == 1 &&
               ParsePort(port, &a6->sin6_port);
    }
    auto* a4 = reinterpret_cast<sockaddr_in*>(out);
    a4->sin_family = AF_INET;
    *length = sizeof *a4;
    if (host == "localhost") host = "127.0.0.1";
    return inet_pton(AF_INET, host.c_str(), &a4->sin_addr) == 1 && ParsePort(port, &a4->sin_port);
}

std::string FormatAddress(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET6) {
        auto* a6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &a6->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(a6->sin6_port));
    }
    auto* a4 = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &a4->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(a4->sin_port));
}

bool ParseServerOptions(int argc, char** argv, ServerOptions* o, std::string* error) {
    if (!ParseListenAddress(o->listen, &o->address, &o->addressLength)) return false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (ApplyFlag(arg, o)) continue;
        size_t eq = arg.find('=');
        std::string_view name = arg.substr(0, eq);
        if (!IsValueOption(name)) {
            *error = (arg.rfind("--", 0) == 0 ? "unknown option '" : "unexpected argument '") +
                     std::string(name) + "' (try --help)";
            return false;
        }
        std::string value;
        if (eq != std::string_view::npos) {
            value = std::string(arg.substr(eq + 1));
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            *error = "option '" + std::string(arg) + "' needs a value (try --help)";
            return false;
        }
        if (!ApplyOption(name, value, o, error)) return false;
    }
    return true;
}
