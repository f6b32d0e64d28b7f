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

struct Entry {
    std::string name;
    bool directory = false;
    uint64_t size = 0;
    time_t mtime = 0;
};

// A name as the directory gave it, with its type when the file system tells it (DT_UNKNOWN
// otherwise).
struct Name {
    std::string name;
    unsigned char type = DT_UNKNOWN;
};

// What was read of a directory: its visible names, and whether it held more entries than the
// read allowed.
struct ReadNames {
    std::vector<Name> visible;
    bool unread = false;
};

void Describe(const struct stat& st, Entry* e) {
    e->directory = S_ISDIR(st.st_mode);
    e->size = uint64_t(st.st_size);
    e->mtime = st.st_mtime;
}

// Describes name in the open directory the way a request would reach it; false when no
// request could, or it is neither a regular file nor a directory. A plain file or directory
// inside a directory beneath the root is reachable as it is: one fstatat. A link (or a name
// of unknown type) is opened beneath the root, so that it counts only where it leads there.
bool DescribeEntry(int rootFd, DIR* dir, const std::string& prefix, const Name& n, Entry* e) {
    struct stat st;
    if (n.type == DT_REG || n.type == DT_DIR) {
        if (fstatat(dirfd(dir), n.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    } else if (n.type == DT_LNK || n.type == DT_UNKNOWN) {
        int fd = OpenBeneath(rootFd, prefix + n.name, O_PATH | O_CLOEXEC);
        if (fd < 0) return false;
        bool ok = fstat(fd, &st) == 0;
        close(fd);
        if (!ok) return false;
    } else {
        return false;  // a FIFO, socket or device is never served
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return false;
    e->name = n.name;
    Describe(st, e);
    return true;
}

// Reads at most maxNames entries ("." and ".." and hidden ones count); keeps the visible names.
ReadNames ReadVisibleNames(DIR* dir, size_t maxNames) {
    ReadNames out;
    for (size_t read = 0;; ++read) {
        dirent* d = readdir(dir);
        if (!d) break;
        if (read == maxNames) {
            out.unread = true;
            break;
        }
        if (d->d_name[0] == '.') continue;  // ".", ".." and hidden entries
        out.visible.push_back(Name{d->d_name, d->d_type});
    }
    return out;
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
    *html += "<tr><td><a href=\"";
    *html += href;
    *html += "\">";
    *html += text;
    *html += "</a></td><td>";
    *html += size;
    *html += "</td><td>";
    *html += when;
    *html += "</td></tr>\n";
}

// What the bounds left out, said on the page: nothing when the listing is whole.
std::string LeftOutNote(size_t notDescribed, bool unread, const ListingLimits& limits) {
    std::string note;
    if (notDescribed > 0)
        note += "<p>" + std::to_string(notDescribed) +
                " more entries are not listed: a listing shows the first " +
                std::to_string(limits.maxDescribed) + " names.</p>\n";
    if (unread)
        note += "<p>More entries are not listed: a listing reads at most " + std::to_string(limits.maxNames) +
                " entries of a directory.</p>\n";
    return note;
}

std::string RenderListing(const std::string& directory, const std::vector<Entry>& entries,
                          const std::string& note) {
    std::string title = "Index of " + HtmlEscape("/" + (directory == "./" ? std::string() : directory));
    std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
                       "</title></head>\n<body><h1>" + title +
                       "</h1>\n<table>\n<tr><th>Name</th><th>Size</th><th>Last modified (UTC)</th></tr>\n";
    html.reserve(html.size() + entries.size() * 128);
    if (directory != "./") AppendRow(&html, "../", "../", "-", "");
    for (const Entry& e : entries) {
        std::string slash = e.directory ? "/" : "";
        AppendRow(&html, PercentEncodeSegment(e.name) + slash, HtmlEscape(e.name) + slash,
                  e.directory ? "-" : std::to_string(e.size), FormatListingTime(e.mtime));
    }
    html += "</table>\n" + note + "</body></html>\n";
    return html;
}

// "sub/" for "sub/", "" for the root ("./").
std::string EntryPrefix(const std::string& directory) {
    return directory == "./" ? std::string() : directory;
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

int OpenListedDirectory(int rootFd, const std::string& directory) {
    std::string prefix = EntryPrefix(directory);
    return OpenBeneath(rootFd, prefix.empty() ? std::string(".") : prefix,
                       O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool ListOpenDirectory(int rootFd, int dirFd, const std::string& directory, std::string* html,
                       const ListingLimits& limits) {
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return false;
    }
    ReadNames names = ReadVisibleNames(dir, limits.maxNames);
    size_t described = std::min(names.visible.size(), limits.maxDescribed);
    // Only the first names by byte order are looked at: a bounded listing keeps a stable part.
    auto byName = [](const Name& a, const Name& b) { return a.name < b.name; };
    auto end = names.visible.begin() + described;
    if (end != names.visible.end()) std::nth_element(names.visible.begin(), end, names.visible.end(), byName);
    std::sort(names.visible.begin(), end, byName);
    std::vector<Entry> entries;
    entries.reserve(described);
    std::string prefix = EntryPrefix(directory);
    for (size_t i = 0; i < described; ++i) {
        Entry e;
        if (DescribeEntry(rootFd, dir, prefix, names.visible[i], &e)) entries.push_back(std::move(e));
    }
    closedir(dir);
    // Directories first, then files, each by name (already in name order).
    std::stable_partition(entries.begin(), entries.end(), [](const Entry& e) { return e.directory; });
    *html = RenderListing(directory, entries,
                          LeftOutNote(names.visible.size() - described, names.unread, limits));
    return true;
}

bool ListDirectory(int rootFd, const std::string& directory, std::string* html, const ListingLimits& limits) {
    int fd = OpenListedDirectory(rootFd, directory);
    return fd >= 0 && ListOpenDirectory(rootFd, fd, directory, html, limits);
}
