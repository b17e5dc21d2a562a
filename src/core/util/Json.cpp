// The status file's JSON: writing texts safely and a strict reader.
#include "util/Json.h"

#include "util/Encoding.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kv {

std::string JsonString(std::string_view text) {
    const std::string utf8 = ToDisplayUtf8(text);
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
    static const JsonValue null;
    if (kind != Kind::Object)
        return null;
    auto it = fields.find(key);
    return it == fields.end() ? null : it->second;
}

int64_t JsonValue::Integer(int64_t fallback) const {
    if (kind != Kind::Number || !std::isfinite(number) || std::fabs(number) > 9.0e15)
        return fallback;
    return static_cast<int64_t>(number);
}

namespace {

class Reader {
public:
    explicit Reader(std::string_view s) : s_(s) {}

    bool Document(JsonValue& v) {
        Blanks();
        if (!Value(v, 0))
            return false;
        Blanks();
        return at_ == s_.size() || Fail("text after the value");
    }
    std::string error;

private:
    bool Fail(const char* what) {
        if (error.empty())
            error = std::string(what) + " at byte " + std::to_string(at_);
        return false;
    }
    void Blanks() {
        while (at_ < s_.size() &&
               (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r'))
            ++at_;
    }
    bool Word(std::string_view w) {
        if (s_.substr(at_, w.size()) != w)
            return Fail("unknown word");
        at_ += w.size();
        return true;
    }
    bool Value(JsonValue& v, int depth) {
        if (depth > 64)
            return Fail("nesting too deep");
        if (at_ >= s_.size())
            return Fail("missing value");
        const char c = s_[at_];
        if (c == '{')
            return Object(v, depth);
        if (c == '[')
            return Array(v, depth);
        if (c == '"') {
            v.kind = JsonValue::Kind::String;
            return String(v.text);
        }
        if (c == 't' || c == 'f') {
            v.kind = JsonValue::Kind::Bool;
            v.boolean = c == 't';
            return Word(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            v.kind = JsonValue::Kind::Null;
            return Word("null");
        }
        return Number(v);
    }
    bool Number(JsonValue& v) {
        const size_t start = at_;
        if (at_ < s_.size() && s_[at_] == '-')
            ++at_;
        auto digits = [&] {
            size_t n = 0;
            while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9')
                ++at_, ++n;
            return n;
        };
        const size_t intStart = at_;
        if (digits() == 0 || (s_[intStart] == '0' && at_ - intStart > 1))
            return Fail("bad number");
        if (at_ < s_.size() && s_[at_] == '.') {
            ++at_;
            if (digits() == 0)
                return Fail("bad number");
        }
        if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
            ++at_;
            if (at_ < s_.size() && (s_[at_] == '+' || s_[at_] == '-'))
                ++at_;
            if (digits() == 0)
                return Fail("bad number");
        }
        v.kind = JsonValue::Kind::Number;
        v.number = std::strtod(std::string(s_.substr(start, at_ - start)).c_str(), nullptr);
        return true;
    }
    static void PutUtf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool Hex4(unsigned& cp) {
        if (at_ + 4 > s_.size())
            return Fail("bad escape");
        cp = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = s_[at_++];
            cp <<= 4;
            if (h >= '0' && h <= '9')
                cp |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
                cp |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                cp |= static_cast<unsigned>(h - 'A' + 10);
            else
                return Fail("bad escape");
        }
        return true;
    }
    bool String(std::string& out) {
        ++at_; // the opening quote
        const size_t start = at_;
        while (at_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[at_]);
            if (c == '"') {
                ++at_;
                return IsValidUtf8(out) || Fail("text that is not UTF-8");
            }
            if (c < 0x20)
                return Fail("control character in a text");
            if (c != '\\') {
                out += static_cast<char>(c);
                ++at_;
                continue;
            }
            if (++at_ >= s_.size())
                break;
            const char e = s_[at_++];
            switch (e) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                unsigned cp = 0;
                if (!Hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp < 0xDC00) {
                    unsigned low = 0;
                    if (s_.substr(at_, 2) != "\\u" || (at_ += 2, !Hex4(low)) || low < 0xDC00 ||
                        low >= 0xE000)
                        return Fail("lone surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp < 0xE000) {
                    return Fail("lone surrogate");
                }
                PutUtf8(out, cp);
                break;
            }
            default:
                return Fail("bad escape");
            }
        }
        at_ = start;
        return Fail("unterminated text");
    }
    bool Array(JsonValue& v, int depth) {
        v.kind = JsonValue::Kind::Array;
        ++at_;
        Blanks();
        if (at_ < s_.size() && s_[at_] == ']')
            return ++at_, true;
        for (;;) {
            Blanks();
            v.items.emplace_back();
            if (!Value(v.items.back(), depth + 1))
                return false;
            Blanks();
            if (at_ < s_.size() && s_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < s_.size() && s_[at_] == ']')
                return ++at_, true;
            return Fail("expected , or ]");
        }
    }
    bool Object(JsonValue& v, int depth) {
        v.kind = JsonValue::Kind::Object;
        ++at_;
        Blanks();
        if (at_ < s_.size() && s_[at_] == '}')
            return ++at_, true;
        for (;;) {
            Blanks();
            std::string key;
            if (at_ >= s_.size() || s_[at_] != '"' || !String(key))
                return Fail("expected a member name");
            Blanks();
            if (at_ >= s_.size() || s_[at_] != ':')
                return Fail("expected :");
            ++at_;
            Blanks();
            JsonValue member;
            if (!Value(member, depth + 1))
                return false;
            v.fields[key] = std::move(member);
            Blanks();
            if (at_ < s_.size() && s_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < s_.size() && s_[at_] == '}')
                return ++at_, true;
            return Fail("expected , or }");
        }
    }

    std::string_view s_;
    size_t at_ = 0;
};

} // namespace

std::optional<JsonValue> ParseJson(std::string_view text, std::string* error) {
    Reader r(text);
    JsonValue v;
    if (!r.Document(v)) {
        if (error)
            *error = r.error;
        return std::nullopt;
    }
    return v;
}

} // namespace kv
