#include "decode.hpp"

namespace TruvVM {

namespace {

std::uint32_t be32(const byte* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

// A list or dictionary whose elements are still being read.
struct OpenContainer {
  std::uint32_t node;
  bool dict;
  bool wantvalue;  // dictionary: its key has been read, its value not yet
};

}  // namespace

DecodedOperand decodeoperand(const byte* p, std::size_t n) {
  DecodedOperand d;
  std::vector<OpenContainer> open;
  std::size_t i = 0;

  auto truncated = [&]() {
    d.status = DecodeStatus::Truncated;
    d.consumed = static_cast<std::uint32_t>(n);
    return d;
  };

  for (;;) {
    // Inside a list, or before a dictionary key, an end marker may close the
    // container; it is looked at only where an element's type byte would be.
    if (!open.empty() && !open.back().wantvalue) {
      if (i >= n) return truncated();
      if (p[i] == endmarker) {
        ++i;
        d.nodes[open.back().node].end = static_cast<std::uint32_t>(i);
        open.pop_back();
        goto completed;
      }
    }

    {
      if (i >= n) return truncated();
      const std::uint32_t start = static_cast<std::uint32_t>(i);
      const byte t = p[i++];
      if (t > 7) {
        d.status = DecodeStatus::BadType;
        d.badtype = t;
        d.consumed = static_cast<std::uint32_t>(i);
        return d;
      }
      OperandNode node;
      node.type = static_cast<OperandType>(t);
      node.start = start;
      switch (node.type) {
        case OperandType::Int:
          if (n - i < 4) return truncated();
          node.ival = static_cast<std::int32_t>(be32(p + i));
          i += 4;
          break;
        case OperandType::Float:
          if (n - i < 8) return truncated();
          node.ipart = be32(p + i);
          node.fpart = be32(p + i + 4);
          i += 8;
          break;
        case OperandType::String: {
          std::size_t j = i;
          while (j < n && p[j] != 0) ++j;
          if (j >= n) return truncated();
          node.payload = static_cast<std::uint32_t>(i);
          node.payloadlen = static_cast<std::uint32_t>(j - i);
          i = j + 1;
          break;
        }
        case OperandType::Class:
        case OperandType::Stack:
          break;
        case OperandType::List:
        case OperandType::Dict:
          open.push_back({static_cast<std::uint32_t>(d.nodes.size()), node.type == OperandType::Dict,
                          false});
          d.nodes.push_back(node);
          continue;
        case OperandType::Func: {
          node.payload = static_cast<std::uint32_t>(i);
          for (;;) {
            if (i >= n) return truncated();
            const byte marker = p[i++];
            if (i >= n) return truncated();
            ++i;
            ++node.count;
            if (marker == 0) break;
            if (marker != 1) node.canonicalmarkers = false;
          }
          break;
        }
      }
      node.end = static_cast<std::uint32_t>(i);
      d.nodes.push_back(node);
    }

  completed:
    // One operand is complete: the top level, or a child of the innermost
    // open container.
    if (open.empty()) {
      d.consumed = static_cast<std::uint32_t>(i);
      return d;
    }
    OpenContainer& parent = open.back();
    if (parent.dict) {
      if (parent.wantvalue) ++d.nodes[parent.node].count;
      parent.wantvalue = !parent.wantvalue;
    } else {
      ++d.nodes[parent.node].count;
    }
  }
}

float floatoperand(std::uint32_t ipart, std::uint32_t fpart) {
  static constexpr float powers[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                     1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  int digits = 1;
  for (std::uint32_t f = fpart; f >= 10; f /= 10) ++digits;
  return static_cast<float>(ipart) + static_cast<float>(fpart) / powers[digits];
}

std::vector<byte> funcbody(const byte* p, const OperandNode& node) {
  std::vector<byte> body;
  body.reserve(node.count);
  for (std::uint32_t k = 0; k < node.count; ++k) body.push_back(p[node.payload + 2 * k + 1]);
  return body;
}

}  // namespace TruvVM
