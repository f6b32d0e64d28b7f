#include "orvanta/http/mime_types.h"

#include <ctype.h>
#include <stdio.h>

namespace {

// Never destroyed: pump workers may still look types up while the process exits.
const std::string& DefaultType() {
    static const std::string* const type = new std::string("application/octet-stream");
    return *type;
}

// Used only when the system table is missing, so a bare system still labels the common types.
constexpr std::string_view kBuiltinTable =
    "text/html html htm\n"
    "text/plain txt\n"
    "text/css css\n"
    "text/javascript js mjs\n"
    "application/json json\n"
    "image/png png\n"
    "image/jpeg jpg jpeg\n"
    "image/gif gif\n"
    "image/svg+xml svg\n"
    "application/pdf pdf\n";

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = char(tolower(static_cast<unsigned char>(c)));
    return out;
}

// Splits off the next whitespace-separated word of line.
std::string_view NextWord(std::string_view& line) {
    size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    size_t end = line.find_first_of(" \t\r", start);
    if (end == std::string_view::npos) end = line.size();
    std::string_view word = line.substr(start, end - start);
    line.remove_prefix(end);
    return word;
}

}  // namespace

bool MimeTypes::Load(const char* path) {
    FILE* f = fopen(path, "re");
    if (!f) {
        AddBuiltins();
        return false;
    }
    std::string text;
    char chunk[8192];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    fclose(f);
    AddTable(text);
    return true;
}

void MimeTypes::AddTable(std::string_view text) {
    while (!text.empty()) {
        size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        line = line.substr(0, line.find('#'));
        std::string_view type = NextWord(line);
        if (type.empty()) continue;
        for (std::string_view ext = NextWord(line); !ext.empty(); ext = NextWord(line))
            byExtension_.emplace(Lower(ext), std::string(type));  // the first mention wins
    }
}

const std::string& MimeTypes::Lookup(std::string_view fileName) const {
    size_t slash = fileName.rfind('/');
    if (slash != std::string_view::npos) fileName.remove_prefix(slash + 1);
    size_t dot = fileName.rfind('.');
    if (dot == std::string_view::npos || dot + 1 == fileName.size()) return DefaultType();
    auto it = byExtension_.find(Lower(fileName.substr(dot + 1)));
    return it == byExtension_.end() ? DefaultType() : it->second;
}

void MimeTypes::AddBuiltins() {
    AddTable(kBuiltinTable);
}
