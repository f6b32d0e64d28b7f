// Directory listings: an HTML page of a directory's entries, offered for a directory without
// an index.html when the server runs with --autoindex. Each entry is opened beneath the root
// exactly as a request for it would be, so an entry that no request could reach (a symlink
// leaving the root, a dangling link) is not listed; hidden entries (names starting with '.')
// are left out as well. Pure functions of the file system; any thread.
#pragma once

#include <string>
#include <string_view>

// The listing of directory (a path from the root ending in '/', "./" for the root itself);
// false when it cannot be read.
bool ListDirectory(int rootFd, const std::string& directory, std::string* html);

// Text made safe inside HTML elements and quoted attributes.
std::string HtmlEscape(std::string_view text);
// A path segment for a link: every byte but ALPHA, DIGIT and "-._~" percent-encoded.
std::string PercentEncodeSegment(std::string_view segment);
