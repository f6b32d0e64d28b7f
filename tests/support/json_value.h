// A strict JSON reader for the end-to-end tests: enough of RFC 8259 to check what a server sent
// (objects, arrays, strings with their escapes, numbers, true, false, null). Anything malformed,
// or text after the value, gives a value of type Invalid, so a test fails instead of guessing.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace vrns_test {

struct JsonValue {
    enum Type { Invalid, Null, Bool, Number, String, Array, Object } type = Invalid;
    bool boolean = false;
    double number = 0;
    std::string text;  // a string's value, UTF-8, escapes decoded
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;

    // The member named name compared without case (as TechEmpower's checks compare), or null.
    const JsonValue* Find(const std::string& name) const {
        for (auto& [key, value] : members)
            if (key.size() == name.size() &&
                std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
                    return tolower(static_cast<unsigned char>(a)) == tolower(static_cast<unsigned char>(b));
                }))
                return &value;
        return nullptr;
    }
    bool IsInteger() const { return type == Number && number == double(long(number)); }
};

class JsonParser {
  public:
    static JsonValue Parse(const std::string& text) {
        JsonParser p(text);
        JsonValue v;
        if (!p.Value(&v, 0)) return JsonValue();
        p.Space();
        return p.at_ == text.size() ? v : JsonValue();
    }

  private:
    static constexpr int kMostDepth = 64;
    explicit JsonParser(const std::string& s) : s_(s) {}

    void Space() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r'))
            ++at_;
    }
    bool Eat(char c) {
        Space();
        if (at_ < s_.size() && s_[at_] == c) return ++at_, true;
        return false;
    }
    bool Word(const char* w, size_t n) {
        if (s_.compare(at_, n, w) != 0) return false;
        at_ += n;
        return true;
    }
    bool Value(JsonValue* v, int depth) {
        if (depth > kMostDepth) return false;
        Space();
        if (at_ >= s_.size()) return false;
        char c = s_[at_];
        if (c == '{') return ++at_, Members(v, depth);
        if (c == '[') return ++at_, Items(v, depth);
        if (c == '"') return v->type = JsonValue::String, Str(&v->text);
        if (Word("true", 4)) return v->type = JsonValue::Bool, v->boolean = true, true;
        if (Word("false", 5)) return v->type = JsonValue::Bool, true;
        if (Word("null", 4)) return v->type = JsonValue::Null, true;
        return Num(v);
    }
    bool Members(JsonValue* v, int depth) {
        v->type = JsonValue::Object;
        if (Eat('}')) return true;
        do {
            std::string key;
            JsonValue item;
            Space();
            if (!Str(&key) || !Eat(':') || !Value(&item, depth + 1)) return false;
            v->members.emplace_back(std::move(key), std::move(item));
        } while (Eat(','));
        return Eat('}');
    }
    bool Items(JsonValue* v, int depth) {
        v->type = JsonValue::Array;
        if (Eat(']')) return true;
        do {
            JsonValue item;
            if (!Value(&item, depth + 1)) return false;
            v->items.push_back(std::move(item));
        } while (Eat(','));
        return Eat(']');
    }
    bool Num(JsonValue* v) {
        size_t start = at_;
        if (at_ < s_.size() && s_[at_] == '-') ++at_;
        if (at_ >= s_.size() || !isdigit(static_cast<unsigned char>(s_[at_]))) return false;
        while (at_ < s_.size() && strchr("0123456789.eE+-", s_[at_])) ++at_;
        std::string digits = s_.substr(start, at_ - start);
        char* end = nullptr;
        v->number = strtod(digits.c_str(), &end);
        v->type = JsonValue::Number;
        return end == digits.c_str() + digits.size();
    }
    static void Utf8(std::string* out, unsigned code) {
        if (code < 0x80) {
            *out += char(code);
        } else if (code < 0x800) {
            *out += char(0xC0 | (code >> 6));
            *out += char(0x80 | (code & 0x3F));
        } else {
            *out += char(0xE0 | (code >> 12));
            *out += char(0x80 | ((code >> 6) & 0x3F));
            *out += char(0x80 | (code & 0x3F));
        }
    }
    bool Str(std::string* out) {
        if (at_ >= s_.size() || s_[at_] != '"') return false;
        for (++at_; at_ < s_.size();) {
            char c = s_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (at_ >= s_.size()) return false;
            char e = s_[at_++];
            const char* simple = strchr("\"\\/bfnrt", e);
            if (e == 'u') {
                if (at_ + 4 > s_.size()) return false;
                Utf8(out, unsigned(strtoul(s_.substr(at_, 4).c_str(), nullptr, 16)));
                at_ += 4;
            } else if (simple) {
                *out += "\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
            } else {
                return false;
            }
        }
        return false;
    }

    const std::string& s_;
    size_t at_ = 0;
};

}  // namespace vrns_test
