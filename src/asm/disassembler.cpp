#include "asm/disassembler.hpp"

#include <cstddef>
#include <string_view>
#include <variant>
#include <vector>

#include "vm/decode.hpp"
#include "vm/opcodes.hpp"

namespace TruvVM::tools {

namespace {

constexpr char hexdigit[] = "0123456789ABCDEF";
constexpr std::size_t bytesperline = 16;

void hex2(std::string& out, byte b) {
  out += hexdigit[b >> 4];
  out += hexdigit[b & 15];
}

std::string offsettext(std::size_t off) {
  std::string s;
  int shift = 12;
  while (shift + 4 < 64 && (off >> (shift + 4)) != 0) shift += 4;
  s += "0x";
  for (; shift >= 0; shift -= 4) s += "0123456789abcdef"[(off >> shift) & 15];
  return s;
}

// Length of a well-formed UTF-8 sequence at p worth showing as itself: a code
// point from U+00A0 up that is not a control or invisible formatting
// character. 0 when the bytes are to be escaped.
std::size_t utf8len(const byte* p, std::size_t n) {
  const byte b = p[0];
  std::size_t len;
  std::uint32_t cp;
  byte lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
    cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    cp = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    cp = b & 0x07;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n < len) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  if (cp < 0xA0 || cp == 0xAD || (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
      (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF || (cp >= 0xFFF0 && cp <= 0xFFFF))
    return 0;
  return len;
}

void quoted(std::string& out, const byte* p, std::size_t n) {
  out += '"';
  for (std::size_t i = 0; i < n;) {
    const byte b = p[i];
    switch (b) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (b >= 0x20 && b < 0x7F) {
          out += static_cast<char>(b);
        } else if (std::size_t len = utf8len(p + i, n - i); len > 0) {
          out.append(reinterpret_cast<const char*>(p + i), len);
          i += len;
          continue;
        } else {
          out += "\\x";
          hex2(out, b);
        }
    }
    ++i;
  }
  out += '"';
}

// A string that can be written as a bare word in a name position.
bool isbareword(const byte* p, std::size_t n) {
  if (n == 0) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const byte c = p[i];
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (!alpha && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  const std::string_view w(reinterpret_cast<const char*>(p), n);
  return w != "object" && w != "stack" && w != "dict";
}

// A sequence of code: the file, or the body of a function operand.
struct CodeFrame {
  std::span<const byte> code;  // the file, or a view of body
  std::vector<byte> body;      // owned body bytes (empty for the file)
  std::size_t pos = 0;
  std::size_t depth = 0;  // indentation level of its lines
  bool braced = false;    // a "}" line at depth - 1 closes it
};

// The operand of an instruction being written out, node by node.
struct OperandFrame {
  DecodedOperand d;
  std::size_t start = 0;  // where the operand begins in the enclosing code
  std::size_t next = 0;   // the next node to write
  struct Open {
    bool dict;
    std::uint64_t total;  // elements (a dictionary's keys and values both count)
    std::uint64_t remaining;
  };
  std::vector<Open> open;
  std::size_t depth = 0;
  bool namepos = false;
};

class Disassembler {
 public:
  explicit Disassembler(bool offsets) : offsets_(offsets) {}

  std::string run(std::span<const byte> bytes) {
    CodeFrame top;
    top.code = bytes;
    frames_.emplace_back(std::move(top));
    while (!frames_.empty()) {
      if (std::holds_alternative<CodeFrame>(frames_.back()))
        stepcode();
      else
        stepoperand();
    }
    return std::move(out_);
  }

 private:
  using Frame = std::variant<CodeFrame, OperandFrame>;
  std::vector<Frame> frames_;
  std::string out_;
  bool offsets_;
  bool pendingoffset_ = false;
  std::size_t offset_ = 0;
  std::size_t linestart_ = 0;  // where the current line begins in out_

  void indent(std::size_t depth) { out_.append(4 * depth, ' '); }

  // Starts a trailing comment, in a column of its own where the line is short.
  void comment() {
    constexpr std::size_t column = 40;
    const std::size_t width = out_.size() - linestart_;
    out_.append(width + 2 < column ? column - width : 2, ' ');
    out_ += '#';
  }

  void newline() {
    out_ += '\n';
    linestart_ = out_.size();
  }

  // Ends the current line, adding the offset comment of the instruction that
  // began on it.
  void endline() {
    if (pendingoffset_) {
      comment();
      out_ += ' ';
      out_ += offsettext(offset_);
      pendingoffset_ = false;
    }
    newline();
  }

  // Bytes that do not decode, with the reason on the first line.
  void raw(const byte* p, std::size_t n, std::size_t off, std::size_t depth, const std::string& why) {
    for (std::size_t k = 0; k < n; k += bytesperline) {
      indent(depth);
      out_ += ".bytes";
      for (std::size_t j = k; j < n && j < k + bytesperline; ++j) {
        out_ += ' ';
        hex2(out_, p[j]);
      }
      if (k == 0 || offsets_) comment();
      if (offsets_) {
        out_ += ' ';
        out_ += offsettext(off + k);
        if (k == 0) out_ += ':';
      }
      if (k == 0) {
        out_ += ' ';
        out_ += why;
      }
      newline();
    }
  }

  void stepcode() {
    CodeFrame& c = std::get<CodeFrame>(frames_.back());
    const byte* p = c.code.data();
    const std::size_t n = c.code.size();
    if (c.pos >= n) {
      const bool braced = c.braced;
      const std::size_t depth = c.depth;
      frames_.pop_back();
      if (braced) {
        indent(depth - 1);
        out_ += '}';
      }
      return;
    }
    const std::size_t at = c.pos;
    const byte op = p[at];
    if (!isopcode(op)) {
      std::size_t e = at;
      while (e < n && !isopcode(p[e])) ++e;
      raw(p + at, e - at, at, c.depth, e - at == 1 ? "unknown opcode" : "unknown opcodes");
      c.pos = e;
      return;
    }
    const OpInfo& oi = info(op);
    if (oi.operand == OperandKind::None) {
      indent(c.depth);
      mnemonic(oi);
      pendingoffset_ = offsets_;
      offset_ = at;
      endline();
      c.pos = at + 1;
      return;
    }
    DecodedOperand d = decodeoperand(p + at + 1, n - at - 1);
    if (d.status == DecodeStatus::BadType) {
      std::string why = "bad operand type 0x";
      hex2(why, d.badtype);
      raw(p + at, 1 + d.consumed, at, c.depth, why);
      c.pos = at + 1 + d.consumed;
      return;
    }
    if (d.status == DecodeStatus::Truncated) {
      raw(p + at, n - at, at, c.depth, "operand cut off by the end of the code");
      c.pos = n;
      return;
    }
    for (const OperandNode& node : d.nodes) {
      if (node.type == OperandType::Func && !node.canonicalmarkers) {
        raw(p + at, 1 + d.consumed, at, c.depth, "function operand whose pair markers are not 01 ... 01 00");
        c.pos = at + 1 + d.consumed;
        return;
      }
    }
    indent(c.depth);
    mnemonic(oi);
    pendingoffset_ = offsets_;
    offset_ = at;
    c.pos = at + 1 + d.consumed;
    OperandFrame o;
    o.d = std::move(d);
    o.start = at + 1;
    o.depth = c.depth;
    o.namepos = oi.operand == OperandKind::Name;
    frames_.emplace_back(std::move(o));  // c is not used after this
  }

  void mnemonic(const OpInfo& oi) {
    for (char ch : oi.mnemonic) out_ += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
  }

  void stepoperand() {
    OperandFrame& o = std::get<OperandFrame>(frames_.back());
    const CodeFrame& c = std::get<CodeFrame>(frames_[frames_.size() - 2]);
    const byte* base = c.code.data() + o.start;
    for (;;) {
      if (!o.open.empty() && o.open.back().remaining == 0) {
        out_ += o.open.back().dict ? '}' : ']';
        o.open.pop_back();
        if (o.open.empty()) return finishoperand();
        continue;
      }
      const OperandNode& node = o.d.nodes[o.next++];
      if (!o.open.empty()) {
        OperandFrame::Open& parent = o.open.back();
        const std::uint64_t written = parent.total - parent.remaining;
        if (parent.dict && written % 2 == 1)
          out_ += ": ";
        else if (written > 0)
          out_ += ", ";
        --parent.remaining;
      } else if (node.type != OperandType::Func) {
        out_ += ' ';
      }
      switch (node.type) {
        case OperandType::Int:
          out_ += std::to_string(node.ival);
          break;
        case OperandType::Float:
          out_ += std::to_string(node.ipart);
          out_ += '.';
          out_ += std::to_string(node.fpart);
          break;
        case OperandType::String:
          if (o.open.empty() && o.namepos && isbareword(base + node.payload, node.payloadlen))
            out_.append(reinterpret_cast<const char*>(base + node.payload), node.payloadlen);
          else
            quoted(out_, base + node.payload, node.payloadlen);
          break;
        case OperandType::Class:
          out_ += "object";
          break;
        case OperandType::Stack:
          out_ += "stack";
          break;
        case OperandType::List:
          out_ += '[';
          o.open.push_back({false, node.count, node.count});
          continue;
        case OperandType::Dict:
          out_ += "dict{";
          o.open.push_back({true, 2ull * node.count, 2ull * node.count});
          continue;
        case OperandType::Func: {
          CodeFrame body;
          body.body = funcbody(base, node);
          body.code = body.body;
          body.depth = o.depth + 1;
          if (o.open.empty()) {
            // The whole operand: an indented block under the instruction.
            out_ += ':';
            endline();
            frames_.pop_back();
          } else {
            // Inside a list or dictionary: a braced block over several
            // lines; this operand resumes after its closing brace.
            out_ += '{';
            endline();
            body.braced = true;
          }
          // The span stays valid: moving a vector keeps its buffer.
          frames_.emplace_back(std::move(body));
          return;
        }
      }
      if (o.open.empty()) return finishoperand();
    }
  }

  void finishoperand() {
    endline();
    frames_.pop_back();
  }
};

}  // namespace

std::string disassemble(std::span<const std::uint8_t> bytes, bool offsets) {
  return Disassembler(offsets).run(bytes);
}

}  // namespace TruvVM::tools
