#pragma once
// A small JSON reader for the tests: enough to parse what vantel-cli prints
// back into values and look at them. Throws std::runtime_error on bad input.

#include <cstddef>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantel::cli::test {

struct Json {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<Json> array;
    std::map<std::string, Json> object;

    const Json& operator[](const std::string& key) const {
        auto it = object.find(key);
        if (type != Type::Object || it == object.end()) throw std::runtime_error("no member " + key);
        return it->second;
    }
    const Json& operator[](std::size_t i) const {
        if (type != Type::Array || i >= array.size()) throw std::runtime_error("no element");
        return array[i];
    }
    bool has(const std::string& key) const { return object.count(key) != 0; }
};

class JsonReader {
public:
    static Json parse(const std::string& text) {
        JsonReader r(text);
        Json value = r.value();
        r.space();
        if (r.pos_ != text.size()) throw std::runtime_error("trailing text");
        return value;
    }
    // As a strict parser takes it: the text is UTF-8 throughout, numbers
    // follow the JSON grammar, and \u escapes stand for Unicode code points
    // (decoded into UTF-8).
    static Json parseStrict(const std::string& text) {
        JsonReader r(text);
        r.strict_ = true;
        Json value = r.value();
        r.space();
        if (r.pos_ != text.size()) throw std::runtime_error("trailing text");
        return value;
    }

private:
    explicit JsonReader(const std::string& text) : text_(text) {}

    void space() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                       text_[pos_] == '\r' || text_[pos_] == '\t')) {
            ++pos_;
        }
    }
    char peek() {
        space();
        if (pos_ >= text_.size()) throw std::runtime_error("unexpected end");
        return text_[pos_];
    }
    void expect(char c) {
        if (peek() != c) throw std::runtime_error(std::string("expected ") + c);
        ++pos_;
    }
    bool word(const char* w) {
        const std::string s(w);
        if (text_.compare(pos_, s.size(), s) != 0) return false;
        pos_ += s.size();
        return true;
    }

    Json value() {
        Json v;
        const char c = peek();
        if (c == '{') {
            v.type = Json::Type::Object;
            ++pos_;
            if (peek() == '}') {
                ++pos_;
                return v;
            }
            for (;;) {
                if (peek() != '"') throw std::runtime_error("expected a key");
                std::string key = str();
                expect(':');
                v.object[key] = value();
                if (peek() == ',') {
                    ++pos_;
                    continue;
                }
                expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.type = Json::Type::Array;
            ++pos_;
            if (peek() == ']') {
                ++pos_;
                return v;
            }
            for (;;) {
                v.array.push_back(value());
                if (peek() == ',') {
                    ++pos_;
                    continue;
                }
                expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.type = Json::Type::String;
            v.string = str();
            return v;
        }
        if (word("true")) {
            v.type = Json::Type::Bool;
            v.boolean = true;
            return v;
        }
        if (word("false")) {
            v.type = Json::Type::Bool;
            return v;
        }
        if (word("null")) return v;
        if (strict_) {
            // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
            std::size_t i = pos_;
            auto digits = [&] {
                const std::size_t from = i;
                while (i < text_.size() && text_[i] >= '0' && text_[i] <= '9') ++i;
                return i - from;
            };
            if (i < text_.size() && text_[i] == '-') ++i;
            const std::size_t whole = digits();
            if (whole == 0 || (whole > 1 && text_[i - whole] == '0')) throw std::runtime_error("bad number");
            if (i < text_.size() && text_[i] == '.') {
                ++i;
                if (digits() == 0) throw std::runtime_error("bad number");
            }
            if (i < text_.size() && (text_[i] == 'e' || text_[i] == 'E')) {
                ++i;
                if (i < text_.size() && (text_[i] == '+' || text_[i] == '-')) ++i;
                if (digits() == 0) throw std::runtime_error("bad number");
            }
        }
        std::size_t used = 0;
        v.number = std::stod(text_.substr(pos_), &used);
        if (used == 0) throw std::runtime_error("bad value");
        pos_ += used;
        v.type = Json::Type::Number;
        return v;
    }

    std::string str() {
        expect('"');
        std::string out;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) throw std::runtime_error("raw control character");
            if (c != '\\') {
                if (strict_ && static_cast<unsigned char>(c) >= 0x80) {
                    const std::size_t n = utf8Length(pos_ - 1);
                    if (n == 0) throw std::runtime_error("not UTF-8");
                    out.append(text_, pos_ - 1, n);
                    pos_ += n - 1;
                    continue;
                }
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) break;
            const char e = text_[pos_++];
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    if (pos_ + 4 > text_.size()) throw std::runtime_error("short escape");
                    const unsigned code = static_cast<unsigned>(std::stoul(text_.substr(pos_, 4), nullptr, 16));
                    pos_ += 4;
                    if (strict_) {
                        if (code >= 0xD800 && code <= 0xDFFF) throw std::runtime_error("lone surrogate");
                        if (code < 0x80) {
                            out += static_cast<char>(code);
                        } else if (code < 0x800) {
                            out += static_cast<char>(0xC0 | (code >> 6));
                            out += static_cast<char>(0x80 | (code & 0x3F));
                        } else {
                            out += static_cast<char>(0xE0 | (code >> 12));
                            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                            out += static_cast<char>(0x80 | (code & 0x3F));
                        }
                        break;
                    }
                    if (code > 0xFF) throw std::runtime_error("escape beyond 8 bits");
                    out += static_cast<char>(code);
                    break;
                }
                default: throw std::runtime_error("bad escape");
            }
        }
        throw std::runtime_error("unterminated string");
    }

    // The length of the well-formed UTF-8 sequence at `i`, 0 for none.
    std::size_t utf8Length(std::size_t i) const {
        const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text_[k]); };
        const unsigned char c = at(i);
        std::size_t n = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) n = 2;
        else if (c >= 0xE0 && c <= 0xEF) {
            n = 3;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 4;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return 0;
        }
        if (i + n > text_.size() || at(i + 1) < low || at(i + 1) > high) return 0;
        for (std::size_t k = 2; k < n; ++k)
            if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
        return n;
    }

    const std::string& text_;
    std::size_t pos_ = 0;
    bool strict_ = false;
};

}  // namespace vantel::cli::test
