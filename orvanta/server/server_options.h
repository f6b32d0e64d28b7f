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
    int maxConnections = 0;       // 0: DefaultMaxConnections of the descriptor limit and memory
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

// What one connection may hold at worst, for the default below: its 64 KiB of unparsed input,
// the 16 KiB read chunk, and its parser, response plan and header, rounded up generously.
constexpr uint64_t kWorstBytesPerConnection = 128u << 10;

// The machine's physical memory in bytes; 0 when it cannot be told.
uint64_t PhysicalMemoryBytes();

// The default of --max-connections for a process that may open `descriptors` files on a
// machine with memoryBytes of physical memory (0: unknown). Two descriptors for each connection
// (its socket and the file it sends) after a reserve for the process's own (standard streams,
// engine, logs, the root, files opened while a request is resolved), so that accepting stops
// before a request finds no descriptor to open its file; and no more connections than a
// quarter of the memory holds at kWorstBytesPerConnection each, so that a raised descriptor
// limit (262 112 on a stock Debian) does not let clients that each send 64 KiB of unparsed
// input exhaust the memory. At least 1.
int DefaultMaxConnections(uint64_t descriptors, uint64_t memoryBytes = PhysicalMemoryBytes());

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
