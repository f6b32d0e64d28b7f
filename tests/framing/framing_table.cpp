#include "tests/framing/framing_table.h"

#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

namespace framing {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
    return -1;
}

// The end of a repetition's TEXT (its unescaped '}') from i, or npos.
size_t RepetitionEnd(std::string_view text, size_t i) {
    for (; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '}')
            return i;
    }
    return std::string_view::npos;
}

// Splits a value into words: spaces part them, except within a quoted string.
std::vector<std::string_view> Words(std::string_view value) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < value.size()) {
        if (value[i] == ' ') {
            ++i;
            continue;
        }
        size_t start = i;
        bool quoted = false;
        for (; i < value.size() && (quoted || value[i] != ' '); ++i) {
            if (quoted && value[i] == '\\')
                ++i;
            else if (value[i] == '"')
                quoted = !quoted;
        }
        words.push_back(value.substr(start, i - start));
    }
    return words;
}

// "TEXT" (quotes included) unescaped.
bool Quoted(std::string_view q, std::string* out) {
    if (q.size() < 2 || q.front() != '"' || q.back() != '"') return false;
    return Unescape(q.substr(1, q.size() - 2), out);
}

// The canonical form of a "parse" value: words, each "word" or "word("TEXT")".
bool ParseOutcomes(std::string_view value, std::string* canonical) {
    Outcomes outcomes;
    for (std::string_view w : Words(value)) {
        size_t open = w.find('(');
        std::string body;
        if (open != std::string_view::npos &&
            (w.back() != ')' || !Quoted(w.substr(open + 1, w.size() - open - 2), &body)))
            return false;
        outcomes.Add(w.substr(0, open), body);
    }
    *canonical = outcomes.text();
    return true;
}

// "STATUS [keep|close|end] [head] [name="value"|name=?]...", the body as body="...".
bool ParseAnswer(std::string_view value, Answer* a) {
    std::vector<std::string_view> words = Words(value);
    if (words.empty()) return false;
    a->status = atoi(std::string(words[0]).c_str());
    if (a->status < 100 || a->status > 599) return false;
    for (size_t i = 1; i < words.size(); ++i) {
        std::string_view w = words[i];
        if (w == "head") {
            a->head = true;
            continue;
        }
        if (w == "keep" || w == "close" || w == "end") {
            a->then = w == "keep" ? Then::kKeep : w == "close" ? Then::kClose : Then::kEnd;
            continue;
        }
        size_t eq = w.find('=');
        if (eq == std::string_view::npos || eq == 0) return false;
        std::string name(w.substr(0, eq)), text;
        if (w.substr(eq + 1) == "?") {
            text = "?";
        } else if (!Quoted(w.substr(eq + 1), &text)) {
            return false;
        }
        if (name == "body") {
            a->hasBody = true;
            a->body = text;
        } else {
            a->headers.emplace_back(name, text);
        }
    }
    return true;
}

bool ParseLine(std::string_view keyword, std::string_view value, Row* row) {
    if (keyword == "send") {
        std::string bytes;
        if (!Unescape(value, &bytes)) return false;
        row->stream += bytes;
        return true;
    }
    if (keyword == "limit") {
        row->bodyLimit = strtoull(std::string(value).c_str(), nullptr, 10);
        return row->bodyLimit > 0;
    }
    if (keyword == "parse") {
        row->parses = true;
        return ParseOutcomes(value, &row->parse);
    }
    if (keyword == "head") {
        std::vector<std::string_view> words = Words(value);
        if (words.size() < 3) return false;
        // The target may be written with the table's escapes (a repetition): it is compared
        // in the canonical escaped form.
        std::string target;
        if (!Unescape(words[1], &target)) return false;
        row->heads += '\n';
        row->heads.append(words[0]).append(" ").append(Escape(target));
        for (size_t i = 2; i < words.size(); ++i) row->heads.append(" ").append(words[i]);
        return true;
    }
    if (keyword == "serve") {
        Answer a;
        if (!ParseAnswer(value, &a)) return false;
        row->serve.push_back(a);
        return true;
    }
    if (keyword == "only") {
        row->servers = value == "native" ? kNative : value == "managed" ? kManaged : 0;
        return row->servers != 0;
    }
    return false;
}

}  // namespace

std::string Escape(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u >= 0x20 && u < 0x7f) {
            out += c;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        }
    }
    return out;
}

bool Unescape(std::string_view text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case 'r':
                *out += '\r';
                break;
            case 'n':
                *out += '\n';
                break;
            case 't':
                *out += '\t';
                break;
            case 'x': {
                int hi = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
                int lo = hi >= 0 ? HexValue(text[i + 2]) : -1;
                if (lo < 0) return false;
                *out += char(hi * 16 + lo);
                i += 2;
                break;
            }
            case '{': {
                size_t star = text.find('*', i);
                size_t end = star == std::string_view::npos ? star : RepetitionEnd(text, star + 1);
                if (end == std::string_view::npos) return false;
                long count = strtol(std::string(text.substr(i + 1, star - i - 1)).c_str(), nullptr, 10);
                std::string unit;
                if (count <= 0 || !Unescape(text.substr(star + 1, end - star - 1), &unit)) return false;
                for (long n = 0; n < count; ++n) *out += unit;
                i = end;
                break;
            }
            default:
                *out += text[i];
                break;  // \" \\ \}
        }
    }
    return true;
}

void Outcomes::Add(std::string_view word, std::string_view body) {
    if (!text_.empty()) text_ += ' ';
    text_.append(word);
    if (!body.empty()) text_ += "(\"" + Escape(body) + "\")";
}

void Outcomes::AddHead(std::string_view method, std::string_view target, int major, int minor, bool chunked,
                       uint64_t length, bool keepAlive, bool expectsContinue) {
    heads_ += '\n';
    heads_.append(method);
    heads_ += ' ' + Escape(target) + " HTTP/" + std::to_string(major) + '.' + std::to_string(minor);
    if (chunked) heads_ += " chunked";
    if (!chunked && length > 0) heads_ += " length=" + std::to_string(length);
    heads_ += keepAlive ? " keep" : " close";
    if (expectsContinue) heads_ += " continue";
}

std::string AsTheRowPins(const Row& row, const std::string& text) {
    return row.heads.empty() ? text.substr(0, text.find('\n')) : text;
}

bool LoadTable(const std::string& path, std::vector<Row>* rows, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read";
        return false;
    }
    std::string name = path.substr(path.rfind('/') + 1);
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        std::string_view line = text;
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
            line.remove_suffix(1);
        if (line.empty() || line[0] == '#') continue;
        auto fail = [&](const char* why) {
            *error = name + ":" + std::to_string(number) + ": " + why;
            return false;
        };
        if (line.substr(0, 3) == "== ") {
            rows->emplace_back();
            rows->back().name = std::string(line.substr(3));
            rows->back().line = number;
            continue;
        }
        if (rows->empty()) return fail("a line before the first row");
        size_t space = line.find(' ');
        std::string_view keyword = line.substr(0, space);
        std::string_view value = space == std::string_view::npos ? "" : line.substr(space + 1);
        while (!value.empty() && value[0] == ' ') value.remove_prefix(1);
        if (!ParseLine(keyword, value, &rows->back())) return fail("malformed line");
    }
    for (const Row& r : *rows)
        if (r.stream.empty() || (!r.parses && r.serve.empty()) || (!r.parses && !r.heads.empty())) {
            *error = name + ":" + std::to_string(r.line) +
                     ": a row without its stream or expectations, or with heads but no parse line";
            return false;
        }
    return true;
}

}  // namespace framing
