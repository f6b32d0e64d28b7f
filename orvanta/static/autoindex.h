// Directory listings: an HTML page of a directory's entries, offered for a directory without
// an index.html when the server runs with --autoindex. Each entry is reached beneath the root
// exactly as a request for it would be, so an entry that no request could reach (a symlink
// leaving the root, a dangling link) is not listed; hidden entries (names starting with '.')
// are left out as well. Pure functions of the file system; any thread.
//
// Cost is bounded whatever the directory holds: at most maxNames entries are read from it
// (hidden ones included), and at most maxDescribed of the visible names, the first in byte
// order, are looked at (a stat, or an open beneath the root for a link). The page lists them
// by name, directories first, and says how many were left out.
#pragma once

#include <stddef.h>

#include <string>
#include <string_view>

struct ListingLimits {
    size_t maxNames = 100000;     // entries read from the directory
    size_t maxDescribed = 10000;  // visible entries looked at, and so listed at most
};

// Opens directory (a path from the root ending in '/', "./" for the root itself) beneath the
// root for listing; -1 with errno when no request could reach it.
int OpenListedDirectory(int rootFd, const std::string& directory);

// The listing of directory, open as dirFd (taken over and closed); false when it cannot be
// read.
bool ListOpenDirectory(int rootFd, int dirFd, const std::string& directory, std::string* html,
                       const ListingLimits& limits = ListingLimits());

// Opens and lists directory; false when it cannot be read.
bool ListDirectory(int rootFd, const std::string& directory, std::string* html,
                   const ListingLimits& limits = ListingLimits());

// Text made safe inside HTML elements and quoted attributes.
std::string HtmlEscape(std::string_view text);
// A path segment for a link: every byte but ALPHA, DIGIT and "-._~" percent-encoded.
std::string PercentEncodeSegment(std::string_view segment);
