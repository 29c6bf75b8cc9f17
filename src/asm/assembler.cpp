#include "asm/assembler.hpp"

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <string>

#include "vm/decode.hpp"
#include "vm/opcodes.hpp"

namespace TruvVM::tools {

namespace {

// ---------------------------------------------------------------------------
// Tokens. No token spans lines, so the source is lexed one line at a time.

enum class Tok : std::uint8_t {
  End,  // end of the line (or a comment, which runs to it)
  Word,
  DictOpen,  // "dict" followed by "{"
  Int,
  Float,
  String,
  LBracket,
  RBracket,
  LBrace,
  RBrace,
  Comma,
  Colon,
  Semicolon,
  Directive,  // "." and a word
  Bad,        // a lexical error, already reported
};

struct Token {
  Tok kind = Tok::End;
  std::size_t col = 0;    // 1-based byte column of its first character
  std::string_view text;  // Word, Directive: the word
  std::int32_t ival = 0;
  std::uint32_t ipart = 0;
  std::uint32_t fpart = 0;
  std::string str;  // String: the bytes it stands for
};

bool isalpha_(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool isdigit_(char c) {
  return c >= '0' && c <= '9';
}
bool isalnum_(char c) {
  return isalpha_(c) || isdigit_(c);
}
bool isspace_(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}
int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Joins pieces of a message (also avoids a false -Wrestrict of GCC 12 on
// chains of operator+).
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string r;
  for (std::string_view p : parts) r += p;
  return r;
}

std::string showchar(char c) {
  static constexpr char hex[] = "0123456789ABCDEF";
  const auto b = static_cast<unsigned char>(c);
  const char text[] = {'\'', c, '\'', 0};
  if (b >= 0x21 && b <= 0x7E) return text;
  const char code[] = {hex[b >> 4], hex[b & 15], 0};
  return cat({"byte 0x", code});
}

// "1 GiB", "16 MiB" or "1000 bytes".
std::string showsize(std::uint64_t n) {
  if (n != 0 && n % (std::uint64_t{1} << 30) == 0) return std::to_string(n >> 30) + " GiB";
  if (n != 0 && n % (std::uint64_t{1} << 20) == 0) return std::to_string(n >> 20) + " MiB";
  return std::to_string(n) + " bytes";
}

// ---------------------------------------------------------------------------
// The parser is a state machine over a stack of open constructs: the code
// sequences (the program, braced and indented bodies), lists and
// dictionaries. Each code sequence assembles into a buffer of its own; a body's
// buffer is turned into (marker, byte) pairs when the body closes.
//
// A body takes twice its size in the code around it, so bodies nested n deep
// make 2^n bytes: a text of a few kilobytes can stand for terabytes. The text
// is therefore assembled twice. The first pass only counts the bytes (and finds
// every error); the second, run only when the first found none, makes them.

enum class Kind : std::uint8_t { Top, Braced, Indented, List, Dict };

enum class State : std::uint8_t {
  ExpectInstr,    // code: at the start of an instruction
  AfterInstr,     // code: an instruction is complete, a separator must follow
  ExpectOperand,  // code: the mnemonic has been read, its operand not yet
  ExpectLineEnd,  // code: ":" has been read; the line must end here
  ListElem,       // list: an element or "]"
  ListAfter,      // list: "," or "]"
  DictKey,        // dictionary: a key or "}"
  DictColon,      // dictionary: ":" after a key
  DictValue,      // dictionary: the value of an entry
  DictAfter,      // dictionary: "," or "}"
};

struct Frame {
  Kind kind;
  State state;
  std::size_t line;          // where the construct was opened (0 for the program)
  std::size_t col;           // column of its "[", "dict", "{" or ":"
  std::size_t headerindent;  // Indented: indentation of the line holding the ":"
  bool broken = false;       // code: an error was recovered here; skip the empty-body check
  // The instruction being read (code frames only).
  std::uint8_t op = 0;
  std::size_t instrcol = 0;
  std::size_t coloncol = 0;
  bool namepos = false;
};

bool iscode(Kind k) {
  return k == Kind::Top || k == Kind::Braced || k == Kind::Indented;
}

// The bytes of one code sequence. When counting, only size is kept.
struct Buffer {
  std::vector<byte> bytes;
  std::uint64_t size = 0;
};

class Assembler {
 public:
  // With emit unset the bytes are only counted. reserve: the program's size,
  // when a counting pass has found it.
  Assembler(std::string_view text, std::string_view filename, std::size_t limit, bool emit,
            std::uint64_t reserve = 0)
      : text_(text),
        filename_(filename),
        limit_(std::min<std::uint64_t>(limit, maxcount)),
        emit_(emit),
        reserve_(reserve) {}

  AsmResult run() {
    frames_.push_back(Frame{Kind::Top, State::ExpectInstr, 0, 0, 0});
    bufs_.emplace_back();
    if (emit_) bufs_.back().bytes.reserve(static_cast<std::size_t>(reserve_));
    std::size_t start = 0;
    while (start < text_.size()) {
      std::size_t end = text_.find('\n', start);
      if (end == std::string_view::npos) end = text_.size();
      std::string_view l = text_.substr(start, end - start);
      if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
      ++lineno_;
      doline(l);
      // Bodies are checked as they close (closefunc); this catches a program
      // that grows past the limit without them.
      if (!toolarge_ && bufs_.front().size > limit_) {
        toolarge_ = true;
        report(lineno_, linecol_,
               cat({"program too large: by this line the bytecode is more than ", showsize(limit_)}));
      }
      start = end + 1;
    }
    finish();
    size_ = bufs_.front().size;
    AsmResult r;
    r.errors = std::move(errors_);
    r.ok = r.errors.empty();
    if (r.ok && emit_) r.bytes = std::move(bufs_.front().bytes);
    return r;
  }

  // The size of the program, after run.
  std::uint64_t size() const { return size_; }

 private:
  // Counts stop growing past limit_ (they are kept at limit_ + 1), so that no
  // depth of nesting overflows them; limit_ itself is kept below this.
  static constexpr std::uint64_t maxcount = std::uint64_t{1} << 60;

  std::string_view text_, filename_;
  std::uint64_t limit_;
  bool emit_;
  std::uint64_t reserve_;
  std::uint64_t size_ = 0;
  bool toolarge_ = false;  // "program too large" has been reported
  std::string_view line_;
  std::size_t lineno_ = 0;
  std::size_t linecol_ = 1;  // column of the current line's first token
  std::size_t pos_ = 0;
  std::size_t indent_ = 0;
  std::vector<Frame> frames_;
  std::vector<Buffer> bufs_;  // one per open code frame, innermost last
  std::vector<std::string> errors_;

  // --- errors -------------------------------------------------------------

  void report(std::size_t line, std::size_t col, const std::string& msg) {
    errors_.push_back(
        cat({filename_, ":", std::to_string(line), ":", std::to_string(col), ": error: ", msg}));
  }
  bool fail(std::size_t col, const std::string& msg) {
    report(lineno_, col, msg);
    return false;
  }

  // After an error the rest of the line is skipped. Whatever was begun on the
  // line (and any instruction still open from earlier lines) is abandoned: the
  // innermost code sequence opened before this line resumes at the next line.
  void recover() {
    while (!(iscode(frames_.back().kind) && frames_.back().line < lineno_)) pop();
    frames_.back().state = State::ExpectInstr;
    frames_.back().broken = true;
  }

  void pop() {
    if (iscode(frames_.back().kind)) bufs_.pop_back();
    frames_.pop_back();
  }

  // --- lines --------------------------------------------------------------

  void doline(std::string_view l) {
    line_ = l;
    pos_ = 0;
    indent_ = 0;
    while (pos_ < l.size() && (l[pos_] == ' ' || l[pos_] == '\t')) {
      indent_ += l[pos_] == '\t' ? 8 : 1;
      ++pos_;
    }
    Token t = next();
    if (t.kind == Tok::End) return;  // blank or comment only: no meaning
    linecol_ = t.col;
    // Indented bodies end at the first line that is not indented deeper than
    // their header line. Only a body waiting for its next instruction is
    // ended this way: lines inside an open list or braced body are free.
    while (frames_.back().kind == Kind::Indented && frames_.back().state == State::ExpectInstr &&
           indent_ <= frames_.back().headerindent) {
      closefunc();
    }
    for (;;) {
      if (t.kind == Tok::Bad || !feed(t)) {
        recover();
        return;
      }
      if (t.kind == Tok::End) return;
      t = next();
    }
  }

  void finish() {
    while (frames_.back().kind == Kind::Indented) closefunc();
    if (frames_.size() > 1) {
      const Frame& f = frames_.back();
      switch (f.kind) {
        case Kind::List:
          report(f.line, f.col, "list is not closed: ']' missing");
          break;
        case Kind::Dict:
          report(f.line, f.col, "dictionary is not closed: '}' missing");
          break;
        default:
          report(f.line, f.col, "function body is not closed: '}' missing");
          break;
      }
    }
  }

  // --- lexer --------------------------------------------------------------

  Token bad(std::size_t col, const std::string& msg) {
    report(lineno_, col, msg);
    Token t;
    t.kind = Tok::Bad;
    t.col = col;
    return t;
  }

  void skipspace() {
    while (pos_ < line_.size() && isspace_(line_[pos_])) ++pos_;
  }

  Token next() {
    skipspace();
    Token t;
    t.col = pos_ + 1;
    if (pos_ >= line_.size() || line_[pos_] == '#') {
      pos_ = line_.size();
      return t;
    }
    const char c = line_[pos_];
    if (isalpha_(c)) {
      std::size_t s = pos_;
      while (pos_ < line_.size() && isalnum_(line_[pos_])) ++pos_;
      t.text = line_.substr(s, pos_ - s);
      t.kind = Tok::Word;
      if (t.text == "dict") {
        std::size_t p = pos_;
        while (p < line_.size() && isspace_(line_[p])) ++p;
        if (p < line_.size() && line_[p] == '{') {
          pos_ = p + 1;
          t.kind = Tok::DictOpen;
        }
      }
      return t;
    }
    if (isdigit_(c) || c == '-') return number();
    if (c == '"') return string();
    if (c == '.') {
      std::size_t s = ++pos_;
      if (pos_ < line_.size() && isdigit_(line_[pos_])) return bad(t.col, "malformed number");
      while (pos_ < line_.size() && isalnum_(line_[pos_])) ++pos_;
      if (pos_ == s) return bad(t.col, "unexpected '.'");
      t.kind = Tok::Directive;
      t.text = line_.substr(s, pos_ - s);
      return t;
    }
    ++pos_;
    switch (c) {
      case '[':
        t.kind = Tok::LBracket;
        return t;
      case ']':
        t.kind = Tok::RBracket;
        return t;
      case '{':
        t.kind = Tok::LBrace;
        return t;
      case '}':
        t.kind = Tok::RBrace;
        return t;
      case ',':
        t.kind = Tok::Comma;
        return t;
      case ':':
        t.kind = Tok::Colon;
        return t;
      case ';':
        t.kind = Tok::Semicolon;
        return t;
      default:
        return bad(t.col, cat({"unexpected ", showchar(c)}));
    }
  }

  Token number() {
    Token t;
    t.col = pos_ + 1;
    const bool neg = line_[pos_] == '-';
    if (neg) ++pos_;
    if (pos_ >= line_.size() || !isdigit_(line_[pos_])) return bad(t.col, "expected a number after '-'");
    auto junk = [&]() { return pos_ < line_.size() && (isalnum_(line_[pos_]) || line_[pos_] == '.'); };
    constexpr std::uint64_t cap = 0x1'0000'0000ull;  // anything above 32 bits
    if (line_[pos_] == '0' && pos_ + 1 < line_.size() && (line_[pos_ + 1] == 'x' || line_[pos_ + 1] == 'X')) {
      pos_ += 2;
      std::size_t s = pos_;
      std::uint64_t v = 0;
      while (pos_ < line_.size() && hexval(line_[pos_]) >= 0) {
        v = v * 16 + static_cast<std::uint64_t>(hexval(line_[pos_]));
        if (v > cap) v = cap;
        ++pos_;
      }
      if (pos_ == s || junk()) return bad(t.col, "malformed number");
      if (v > (neg ? 0x8000'0000ull : 0xFFFF'FFFFull))
        return bad(t.col, "integer out of range (32 bits: 0x0 to 0xFFFFFFFF, or down to -0x80000000)");
      t.kind = Tok::Int;
      t.ival = neg ? static_cast<std::int32_t>(-static_cast<std::int64_t>(v))
                   : static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
      return t;
    }
    auto digits = [&](std::size_t& len) {
      std::uint64_t v = 0;
      std::size_t s = pos_;
      while (pos_ < line_.size() && isdigit_(line_[pos_])) {
        v = v * 10 + static_cast<std::uint64_t>(line_[pos_] - '0');
        if (v > cap) v = cap;
        ++pos_;
      }
      len = pos_ - s;
      return v;
    };
    std::size_t ilen = 0;
    const std::uint64_t ip = digits(ilen);
    if (pos_ + 1 < line_.size() && line_[pos_] == '.' && isdigit_(line_[pos_ + 1])) {
      ++pos_;
      const std::size_t fcol = pos_ + 1;
      std::size_t flen = 0;
      const std::uint64_t fp = digits(flen);
      if (junk()) return bad(t.col, "malformed number");
      if (neg) return bad(t.col, "a float operand cannot be negative");
      if (flen > 1 && line_[fcol - 1] == '0')
        return bad(fcol, "fraction digits cannot begin with 0 (the format holds them as an integer)");
      if (ip > 0xFFFF'FFFFull) return bad(t.col, "integer part of the float out of range (0 to 4294967295)");
      if (fp > 0xFFFF'FFFFull)
        return bad(fcol, "fraction digits of the float out of range (0 to 4294967295)");
      t.kind = Tok::Float;
      t.ipart = static_cast<std::uint32_t>(ip);
      t.fpart = static_cast<std::uint32_t>(fp);
      return t;
    }
    if (junk()) return bad(t.col, "malformed number");
    if (ip > (neg ? 2147483648ull : 2147483647ull))
      return bad(t.col, "integer out of range (-2147483648 to 2147483647)");
    t.kind = Tok::Int;
    t.ival = static_cast<std::int32_t>(neg ? -static_cast<std::int64_t>(ip) : static_cast<std::int64_t>(ip));
    return t;
  }

  Token string() {
    Token t;
    t.col = pos_ + 1;
    t.kind = Tok::String;
    ++pos_;
    for (;;) {
      if (pos_ >= line_.size()) return bad(t.col, "string is not closed: '\"' missing on this line");
      const char c = line_[pos_];
      if (c == '"') {
        ++pos_;
        return t;
      }
      if (c == '\0') return bad(pos_ + 1, "a string cannot hold the byte 0x00");
      if (c != '\\') {
        t.str.push_back(c);
        ++pos_;
        continue;
      }
      const std::size_t ecol = pos_ + 1;
      if (pos_ + 1 >= line_.size()) return bad(ecol, "string is not closed: '\"' missing on this line");
      const char e = line_[pos_ + 1];
      pos_ += 2;
      switch (e) {
        case '\\':
          t.str.push_back('\\');
          break;
        case '"':
          t.str.push_back('"');
          break;
        case 'n':
          t.str.push_back('\n');
          break;
        case 't':
          t.str.push_back('\t');
          break;
        case 'r':
          t.str.push_back('\r');
          break;
        case 'x': {
          const int h = pos_ < line_.size() ? hexval(line_[pos_]) : -1;
          const int l = pos_ + 1 < line_.size() ? hexval(line_[pos_ + 1]) : -1;
          if (h < 0 || l < 0) return bad(ecol, "\\x must be followed by two hex digits");
          if (h == 0 && l == 0) return bad(ecol, "\\x00: a string cannot hold the byte 0x00");
          t.str.push_back(static_cast<char>(h * 16 + l));
          pos_ += 2;
          break;
        }
        default:
          return bad(ecol, cat({"unknown escape '\\", std::string_view(&e, 1),
                                "' (use \\\\, \\\", \\n, \\t, \\r or \\xHH)"}));
      }
    }
  }

  // One byte of a .bytes line. Returns false on an error (reported); sets
  // have to false when the list of bytes has ended.
  bool hexbyte(byte& b, bool& have) {
    skipspace();
    have = false;
    if (pos_ >= line_.size() || line_[pos_] == '#' || line_[pos_] == ';' || line_[pos_] == '}') return true;
    const std::size_t s = pos_;
    while (pos_ < line_.size() && !isspace_(line_[pos_]) && line_[pos_] != '#' && line_[pos_] != ';' &&
           line_[pos_] != '}')
      ++pos_;
    if (pos_ - s != 2 || hexval(line_[s]) < 0 || hexval(line_[s + 1]) < 0) {
      report(lineno_, s + 1, "expected a byte as two hex digits");
      return false;
    }
    b = static_cast<byte>(hexval(line_[s]) * 16 + hexval(line_[s + 1]));
    have = true;
    return true;
  }

  // --- parser -------------------------------------------------------------

  // Appending to the innermost code sequence.
  void put(byte b) {
    Buffer& o = bufs_.back();
    if (emit_) o.bytes.push_back(b);
    ++o.size;
  }
  void putstr(std::string_view s) {
    Buffer& o = bufs_.back();
    if (emit_) o.bytes.insert(o.bytes.end(), s.begin(), s.end());
    o.size += s.size();
  }
  void put32(std::uint32_t v) {
    put(static_cast<byte>(v >> 24));
    put(static_cast<byte>(v >> 16));
    put(static_cast<byte>(v >> 8));
    put(static_cast<byte>(v));
  }

  // Feeds one token to the innermost construct. Returns false on an error
  // (reported).
  bool feed(const Token& t) {
    for (;;) {
      Frame& f = frames_.back();
      switch (f.state) {
        case State::ExpectInstr:
          switch (t.kind) {
            case Tok::End:
            case Tok::Semicolon:
              return true;
            case Tok::Word:
              return instruction(t);
            case Tok::Directive:
              return directive(t);
            case Tok::RBrace:
              if (f.kind == Kind::Indented) {
                closefunc();
                continue;
              }
              if (f.kind == Kind::Braced) return closefunc(), true;
              return fail(t.col, "'}' without an open function body");
            default:
              return fail(t.col, "expected an instruction");
          }
        case State::AfterInstr:
          switch (t.kind) {
            case Tok::End:
            case Tok::Semicolon:
              f.state = State::ExpectInstr;
              return true;
            case Tok::RBrace:
              f.state = State::ExpectInstr;
              continue;
            default:
              return fail(t.col, "expected the end of the instruction");
          }
        case State::ExpectOperand:
          if (t.kind == Tok::Colon) {
            f.state = State::ExpectLineEnd;
            f.coloncol = t.col;
            return true;
          }
          if (t.kind == Tok::End || t.kind == Tok::Semicolon || t.kind == Tok::RBrace) {
            return fail(f.instrcol, cat({"'", lower(info(f.op).mnemonic), "' needs an operand"}));
          }
          return value(t);
        case State::ExpectLineEnd:
          if (t.kind != Tok::End)
            return fail(t.col, "':' must end the line; the body follows on lines indented deeper");
          frames_.push_back(Frame{Kind::Indented, State::ExpectInstr, lineno_, f.coloncol, indent_});
          bufs_.emplace_back();
          return true;
        case State::ListElem:
          if (t.kind == Tok::End) return true;
          if (t.kind == Tok::RBracket) return closecontainer(), true;
          return value(t);
        case State::ListAfter:
          switch (t.kind) {
            case Tok::End:
              return true;
            case Tok::Comma:
              f.state = State::ListElem;
              return true;
            case Tok::RBracket:
              return closecontainer(), true;
            default:
              return fail(t.col, "expected ',' or ']' in the list");
          }
        case State::DictKey:
          if (t.kind == Tok::End) return true;
          if (t.kind == Tok::RBrace) return closecontainer(), true;
          return value(t);
        case State::DictColon:
          if (t.kind == Tok::End) return true;
          if (t.kind == Tok::Colon) {
            f.state = State::DictValue;
            return true;
          }
          return fail(t.col, "expected ':' after the dictionary key");
        case State::DictValue:
          if (t.kind == Tok::End) return true;
          return value(t);
        case State::DictAfter:
          switch (t.kind) {
            case Tok::End:
              return true;
            case Tok::Comma:
              f.state = State::DictKey;
              return true;
            case Tok::RBrace:
              return closecontainer(), true;
            default:
              return fail(t.col, "expected ',' or '}' in the dictionary");
          }
      }
      return false;  // not reached
    }
  }

  static std::string lower(std::string_view s) {
    std::string r(s);
    for (char& c : r)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
  }

  bool instruction(const Token& t) {
    const auto op = findmnemonic(t.text);
    if (!op) return fail(t.col, cat({"unknown instruction '", t.text, "'"}));
    Frame& f = frames_.back();
    put(*op);
    if (info(*op).operand == OperandKind::None) {
      f.state = State::AfterInstr;
    } else {
      f.state = State::ExpectOperand;
      f.op = *op;
      f.instrcol = t.col;
      f.namepos = info(*op).operand == OperandKind::Name;
    }
    return true;
  }

  bool directive(const Token& t) {
    if (t.text != "bytes") return fail(t.col, cat({"unknown directive '.", t.text, "'"}));
    std::size_t n = 0;
    for (;;) {
      byte b = 0;
      bool have = false;
      if (!hexbyte(b, have)) return false;
      if (!have) break;
      put(b);
      ++n;
    }
    if (n == 0) return fail(t.col, ".bytes needs at least one byte");
    frames_.back().state = State::AfterInstr;
    return true;
  }

  // An operand (or an element, key or value) begins with this token.
  bool value(const Token& t) {
    const std::size_t here = frames_.size() - 1;
    switch (t.kind) {
      case Tok::Int:
        put(0);
        put32(static_cast<std::uint32_t>(t.ival));
        break;
      case Tok::Float:
        put(1);
        put32(t.ipart);
        put32(t.fpart);
        break;
      case Tok::String:
        put(2);
        putstr(t.str);
        put(0);
        break;
      case Tok::Word:
        if (t.text == "object") {
          put(3);
        } else if (t.text == "stack") {
          put(7);
        } else if (t.text == "dict") {
          return fail(t.col, "'dict' must be followed by '{'");
        } else if (frames_[here].state == State::ExpectOperand && frames_[here].namepos) {
          put(2);
          putstr(t.text);
          put(0);
        } else {
          return fail(t.col, cat({"bare word '", t.text,
                                  "' is allowed only as the whole operand of a name instruction; write \"",
                                  t.text, "\""}));
        }
        break;
      case Tok::LBracket:
        put(4);
        frames_.push_back(Frame{Kind::List, State::ListElem, lineno_, t.col, 0});
        return true;
      case Tok::DictOpen:
        put(5);
        frames_.push_back(Frame{Kind::Dict, State::DictKey, lineno_, t.col, 0});
        return true;
      case Tok::LBrace:
        frames_.push_back(Frame{Kind::Braced, State::ExpectInstr, lineno_, t.col, 0});
        bufs_.emplace_back();
        return true;
      case Tok::Colon:
        return fail(t.col, "a ':' body can only be the whole operand of an instruction; use { } here");
      default:
        return fail(t.col, "expected an operand");
    }
    done();
    return true;
  }

  // The innermost construct has received one complete operand.
  void done() {
    Frame& f = frames_.back();
    switch (f.state) {
      case State::ExpectOperand:
        f.state = State::AfterInstr;
        break;
      // An indented body closes at the start of a later line, so the
      // instruction that owned it is followed by a line end already.
      case State::ExpectLineEnd:
        f.state = State::ExpectInstr;
        break;
      case State::ListElem:
        f.state = State::ListAfter;
        break;
      case State::DictKey:
        f.state = State::DictColon;
        break;
      case State::DictValue:
        f.state = State::DictAfter;
        break;
      default:
        break;
    }
  }

  void closecontainer() {
    put(endmarker);
    frames_.pop_back();
    done();
  }

  // Closes the innermost (braced or indented) body and emits it into the
  // enclosing code as a function operand.
  void closefunc() {
    const Frame f = frames_.back();
    Buffer body = std::move(bufs_.back());
    bufs_.pop_back();
    frames_.pop_back();
    if (body.size == 0) {
      if (!f.broken) report(f.line, f.col, "a function body cannot be empty");
      done();
      return;
    }
    Buffer& o = bufs_.back();
    // One type byte and a pair per body byte. Every buffer ends up in the
    // program, so a buffer past the limit is a program past it.
    const std::uint64_t grown = std::min(o.size + 1 + 2 * body.size, limit_ + 1);
    if (grown > limit_ && !toolarge_) {
      toolarge_ = true;
      report(f.line, f.col,
             cat({"program too large: with this function body the bytecode is more than ", showsize(limit_),
                  " (a body takes twice its size in the code around it, so each level of nesting doubles it)"}));
    }
    if (emit_) {
      o.bytes.reserve(o.bytes.size() + 1 + 2 * body.bytes.size());
      o.bytes.push_back(static_cast<byte>(OperandType::Func));
      for (std::size_t k = 0; k < body.bytes.size(); ++k) {
        o.bytes.push_back(k + 1 < body.bytes.size() ? 1 : 0);
        o.bytes.push_back(body.bytes[k]);
      }
    }
    o.size = grown;
    done();
  }
};

}  // namespace

AsmResult assemble(std::string_view text, std::string_view filename, std::size_t limit) {
  Assembler counting(text, filename, limit, false);
  AsmResult r = counting.run();
  if (!r.ok) return r;
  return Assembler(text, filename, limit, true, counting.size()).run();
}

}  // namespace TruvVM::tools
