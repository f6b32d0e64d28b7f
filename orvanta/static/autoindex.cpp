#include "orvanta/static/autoindex.h"

#include <ctype.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "orvanta/static/http_resolve.h"

namespace {

// A directory larger than this is listed in part: the page stays bounded in memory and time.
constexpr size_t kMaxListedEntries = 10000;

struct Entry {
    std::string name;
    bool directory = false;
    uint64_t size = 0;
    time_t mtime = 0;
};

// Opens name beneath the root the way a request would and describes it; false when no request
// could reach it or it is neither a regular file nor a directory.
bool DescribeEntry(int rootFd, const std::string& rel, Entry* e) {
    int fd = OpenBeneath(rootFd, rel, O_PATH | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
    close(fd);
    if (!ok) return false;
    e->directory = S_ISDIR(st.st_mode);
    e->size = uint64_t(st.st_size);
    e->mtime = st.st_mtime;
    return true;
}

bool ReadEntries(int rootFd, const std::string& directory, std::vector<Entry>* out) {
    std::string prefix = directory == "./" ? std::string() : directory;
    int fd =
        OpenBeneath(rootFd, prefix.empty() ? std::string(".") : prefix, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return false;
    }
    while (out->size() < kMaxListedEntries) {
        dirent* d = readdir(dir);
        if (!d) break;
        if (d->d_name[0] == '.') continue;  // ".", ".." and hidden entries
        Entry e;
        e.name = d->d_name;
        if (DescribeEntry(rootFd, prefix + e.name, &e)) out->push_back(std::move(e));
    }
    closedir(dir);
    // Directories first, then files, each by name.
    std::sort(out->begin(), out->end(), [](const Entry& a, const Entry& b) {
        return a.directory != b.directory ? a.directory : a.name < b.name;
    });
    return true;
}

std::string FormatListingTime(time_t t) {
    tm g;
    gmtime_r(&t, &g);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &g);
    return buf;
}

void AppendRow(std::string* html, const std::string& href, const std::string& text, const std::string& size,
               const std::string& when) {
    *html += "<tr><td><a href=\"" + href + "\">" + text + "</a></td><td>" + size + "</td><td>" + when +
             "</td></tr>\n";
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string PercentEncodeSegment(std::string_view segment) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : segment) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

bool ListDirectory(int rootFd, const std::string& directory, std::string* html) {
    std::vector<Entry> entries;
    if (!ReadEntries(rootFd, directory, &entries)) return false;
    std::string title = "Index of " + HtmlEscape("/" + (directory == "./" ? std::string() : directory));
    *html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
            "</title></head>\n<body><h1>" + title +
            "</h1>\n<table>\n<tr><th>Name</th><th>Size</th><th>Last modified (UTC)</th></tr>\n";
    if (directory != "./") AppendRow(html, "../", "../", "-", "");
    for (const Entry& e : entries) {
        std::string slash = e.directory ? "/" : "";
        AppendRow(html, PercentEncodeSegment(e.name) + slash, HtmlEscape(e.name) + slash,
                  e.directory ? "-" : std::to_string(e.size), FormatListingTime(e.mtime));
    }
    *html += "</table>\n</body></html>\n";
    return true;
}
