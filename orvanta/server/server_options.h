// The server's command line. Parsed once on the main thread before anything starts.
#pragma once

#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>

#include <string>

struct ServerOptions {
    std::string listen = "127.0.0.1:8080";
    sockaddr_storage address{};  // parsed from listen
    socklen_t addressLength = 0;
    std::string root = ".";
    int readTimeoutSec = 30;
    int maxConnections = 0;       // 0: DefaultMaxConnections of the descriptor limit
    std::string accessLog = "-";  // a file, "-" for standard output, or "off"
    bool autoindex = false;       // list directories without an index.html
    bool reusePort = false;       // SO_REUSEPORT: several processes share the port
    std::string statusPath;       // where the counters are answered; empty: nowhere
    bool openFileCache = true;
    size_t cacheEntries = 1024;
    uint64_t cacheBytes = 16u << 20;    // small files' contents held by the cache
    uint64_t smallFileMax = 64u << 10;  // up to this, a file goes out with its header in one write
    int drainTimeoutSec = 5;            // at stop, how long responses may still take; 0: no bound
    bool help = false;
};

// The default of --max-connections for a process that may open `descriptors` files: two for
// each connection (its socket and the file it sends) after a reserve for the process's own
// (standard streams, engine, logs, the root, files opened while a request is resolved), so
// that accepting stops before a request finds no descriptor to open its file. At least 1.
int DefaultMaxConnections(uint64_t descriptors);

// Parses argv[1..]: "--name value" or "--name=value". False with a one-line message in *error
// for an unknown option, a missing or bad value.
bool ParseServerOptions(int argc, char** argv, ServerOptions* out, std::string* error);

// A byte count: digits with an optional k or m (KiB, MiB) suffix, at most max.
bool ParseByteCount(const std::string& text, uint64_t max, uint64_t* out);

// "HOST:PORT" with an IPv4 address or "[IPv6]:PORT" (numeric addresses, or "localhost").
bool ParseListenAddress(const std::string& text, sockaddr_storage* out, socklen_t* length);

// "127.0.0.1:8080" or "[::1]:8080" for a bound socket address.
std::string FormatAddress(const sockaddr_storage& address);

extern const char kServerUsage[];
