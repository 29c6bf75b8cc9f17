// The disassembler: its listing of undecodable bytes, and the round trip
// assemble(disassemble(b)) == b over random, mutated and deeply nested files.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "asm/assembler.hpp"
#include "asm/disassembler.hpp"
#include "vm/opcodes.hpp"

namespace TruvVM::tools {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string hex(const Bytes& b) {
  std::string s;
  for (auto x : b) s += "0123456789ABCDEF"[x >> 4], s += "0123456789ABCDEF"[x & 15], s += ' ';
  return s;
}

std::string dis(const Bytes& b, bool offsets = false) {
  return disassemble(b, offsets);
}

// True when both listings of b (with and without offsets) assemble back to b.
::testing::AssertionResult roundtrips(const Bytes& b) {
  for (bool offsets : {false, true}) {
    const std::string listing = dis(b, offsets);
    AsmResult r = assemble(listing, "listing");
    if (!r.ok) return ::testing::AssertionFailure() << hex(b) << "\n" << listing << r.errors.front();
    if (r.bytes != b)
      return ::testing::AssertionFailure() << hex(b) << "\ngave " << hex(r.bytes) << "\n" << listing;
  }
  return ::testing::AssertionSuccess();
}

TEST(AsmDisassemble, ListsNestedBodiesAsIndentedAndBracedBlocks) {
  const Bytes b = assemble(
                      "storelocal x\nloadattr \"a b\"\nstoreglobal \"stack\"\npushconst [1, \"x\", 2.50]\n"
                      "if:\n    while:\n        pop\n    pushconst dict{{ nop }: object}\ncall stack",
                      "t")
                      .bytes;
  EXPECT_EQ(dis(b),
            "storelocal x\nloadattr \"a b\"\nstoreglobal \"stack\"\npushconst [1, \"x\", 2.50]\n"
            "if:\n    while:\n        pop\n    pushconst dict{{\n        nop\n    }: object}\ncall stack\n");
}

TEST(AsmDisassemble, ShowsUndecodableBytesAndGoesOn) {
  // Unknown opcodes; a bad type byte, after which decoding continues.
  EXPECT_EQ(dis({0x2A, 0xFF, 0x25, 0x0E, 0x04, 0x08, 0x25}),
            ".bytes 2A FF                            # unknown opcodes\nnop\n"
            ".bytes 0E 04 08                         # bad operand type 0x08\nnop\n");
  // A function operand with non-canonical markers; the next instruction is
  // where the machine would go on.
  EXPECT_EQ(
      dis({0x0E, 0x06, 0x02, 0x25, 0x00, 0x25, 0x22}),
      ".bytes 0E 06 02 25 00 25                # function operand whose pair markers are not 01 ... 01 00\n"
      "pop\n");
  // A cut-off operand: the rest of the code is raw, even where it would decode.
  Bytes cut{0x25, 0x0E, 0x02, 0x61};
  for (int k = 0; k < 20; ++k) cut.push_back(0x25);
  EXPECT_EQ(dis(cut),
            "nop\n.bytes 0E 02 61 25 25 25 25 25 25 25 25 25 25 25 25 25  # operand cut off by the end "
            "of the code\n.bytes 25 25 25 25 25 25 25\n");
  // Inside a body, its own bytes are listed the same way.
  EXPECT_EQ(dis({0x21, 0x06, 0x01, 0x25, 0x00, 0x2B}),
            "if:\n    nop\n    .bytes 2B                           # unknown opcode\n");
}

TEST(AsmDisassemble, EveryScalarEncodingIsKeptApart) {
  EXPECT_EQ(dis(assemble("pushconst [3.5, 3.50, 0.0, 0.10, -2147483648, 0xFFFFFFFF]", "t").bytes),
            "pushconst [3.5, 3.50, 0.0, 0.10, -2147483648, -1]\n");
  // Every byte but 0x00 in a string; UTF-8 text as itself, broken UTF-8 escaped.
  Bytes all{0x0E, 0x02};
  for (int c = 1; c < 256; ++c) all.push_back(static_cast<std::uint8_t>(c));
  all.push_back(0);
  EXPECT_TRUE(roundtrips(all));
  EXPECT_EQ(dis({0x04, 0x02, 0xC3, 0xA9, 0xC3, 0x22, 0x0A, 0x23, 0xE2, 0x80, 0xAE, 0x00}),
            "loadlocal \"\xC3\xA9\\xC3\\\"\\n#\\xE2\\x80\\xAE\"\n");
}

TEST(AsmDisassemble, OffsetsCountWithinTheirOwnCode) {
  EXPECT_EQ(dis(assemble("nop\nif:\n    pop\n    pushconst 1\n.bytes 30", "t").bytes, true),
            "nop                                     # 0x0000\n"
            "if:                                     # 0x0001\n"
            "    pop                                 # 0x0000\n"
            "    pushconst 1                         # 0x0001\n"
            ".bytes 30                               # 0x0011: unknown opcode\n");
}

// --- random files ---------------------------------------------------------

struct Gen {
  std::mt19937 rng{12345};
  std::uint32_t u(std::uint32_t n) { return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng); }
  std::uint8_t anybyte() { return static_cast<std::uint8_t>(u(256)); }
  // Mostly the bytes that matter to the structure of operands.
  std::uint8_t biased() {
    static constexpr std::uint8_t picks[] = {0, 1, 2, 3, 4, 5, 6, 7, 0xFF, 0x0E, 0x21, 0x04, 0x25, 0x2A};
    return u(3) == 0 ? anybyte() : picks[u(sizeof picks)];
  }

  void operand(Bytes& out, int depth) {
    const std::uint32_t t = depth > 0 ? (u(2) ? 5 + u(3) : u(5)) : u(5);
    switch (t) {
      case 0:
      case 1:
        out.push_back(static_cast<std::uint8_t>(t));
        for (std::uint32_t k = 0; k < 4 * (t + 1); ++k) out.push_back(u(4) ? anybyte() : 0xFF);
        break;
      case 2:
        out.push_back(2);
        for (std::uint32_t k = u(6); k > 0; --k) out.push_back(static_cast<std::uint8_t>(1 + u(255)));
        out.push_back(0);
        break;
      case 3:
        out.push_back(u(2) ? 3 : 7);
        break;
      case 4:
        out.push_back(2);
        out.insert(out.end(), {'v', '_', static_cast<std::uint8_t>('0' + u(10)), 0});
        break;
      case 5:
      case 6: {
        out.push_back(static_cast<std::uint8_t>(t - 1));
        for (std::uint32_t k = u(4) * (t == 6 ? 2 : 1); k > 0; --k) operand(out, depth - 1);
        out.push_back(0xFF);
        break;
      }
      default: {
        Bytes body;
        code(body, depth - 1);
        if (body.empty()) body.push_back(0x25);
        out.push_back(6);
        for (std::size_t k = 0; k < body.size(); ++k)
          out.insert(out.end(), {std::uint8_t{k + 1 < body.size()}, body[k]});
      }
    }
  }

  void code(Bytes& out, int depth) {
    static constexpr std::uint8_t withoperand[] = {4, 5, 7, 9, 14, 14, 14, 33, 35, 36};
    for (std::uint32_t n = 1 + u(depth > 2 ? 10 : 4); n > 0; --n) {
      const auto op = u(3) ? withoperand[u(sizeof withoperand)] : static_cast<std::uint8_t>(u(opcodecount));
      out.push_back(op);
      if (info(op).operand != OperandKind::None) operand(out, depth);
    }
  }

  Bytes program() {
    Bytes b;
    code(b, 3);
    return b;
  }

  void mutate(Bytes& b) {
    for (std::uint32_t m = 1 + u(3); m > 0; --m) {
      const std::size_t at = b.empty() ? 0 : u(static_cast<std::uint32_t>(b.size()));
      switch (u(5)) {
        case 0:
          if (!b.empty()) b[at] = biased();
          break;
        case 1:
          b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), biased());
          break;
        case 2:
          if (!b.empty()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
          break;
        case 3:
          b.resize(at);
          break;
        default:
          if (!b.empty()) b[at] ^= static_cast<std::uint8_t>(1u << u(8));
      }
    }
  }
};

TEST(AsmRoundTrip, RandomFiles) {
  Gen g;
  for (int i = 0; i < 3000; ++i) {
    Bytes b(g.u(201));
    for (auto& x : b) x = i % 2 ? g.biased() : g.anybyte();
    ASSERT_TRUE(roundtrips(b));
  }
}

TEST(AsmRoundTrip, GeneratedProgramsListWithoutRawBytes) {
  Gen g;
  for (int i = 0; i < 1500; ++i) {
    const Bytes b = g.program();
    ASSERT_EQ(dis(b).find(".bytes"), std::string::npos) << hex(b) << "\n" << dis(b);
    ASSERT_TRUE(roundtrips(b));
  }
}

TEST(AsmRoundTrip, MutatedPrograms) {
  Gen g;
  std::vector<std::string> reasons{"# unknown opcode", "# bad operand type", "# operand cut off",
                                   "# function operand whose pair markers"};
  std::vector<int> seen(reasons.size());
  for (int i = 0; i < 4000; ++i) {
    Bytes b = g.program();
    g.mutate(b);
    ASSERT_TRUE(roundtrips(b));
    const std::string listing = dis(b);
    for (std::size_t k = 0; k < reasons.size(); ++k) seen[k] += listing.find(reasons[k]) != std::string::npos;
  }
  for (std::size_t k = 0; k < reasons.size(); ++k) EXPECT_GT(seen[k], 50) << reasons[k];
}

// "x.tas:LINE:COLUMN: error: MESSAGE" with a non-empty message.
bool wellformed(const std::string& e) {
  const std::string file = "x.tas:";
  if (e.compare(0, file.size(), file) != 0) return false;
  std::size_t i = file.size();
  for (int field = 0; field < 2; ++field) {
    const std::size_t start = i;
    while (i < e.size() && e[i] >= '0' && e[i] <= '9') ++i;
    if (i == start || i >= e.size() || e[i] != ':') return false;
    ++i;
  }
  const std::string tag = " error: ";
  return e.compare(i, tag.size(), tag) == 0 && e.size() > i + tag.size();
}

TEST(AsmRoundTrip, MutatedListingsAreReportedNotMisassembled) {
  // Damaged text either assembles or yields well-formed messages only.
  Gen g;
  const char junk[] = "[]{}:;,\"\\#.-0x9 \n\tdict";
  for (int i = 0; i < 1500; ++i) {
    std::string text = dis(g.program());
    for (std::uint32_t m = 1 + g.u(3); m > 0 && !text.empty(); --m)
      text[g.u(static_cast<std::uint32_t>(text.size()))] = junk[g.u(sizeof junk - 1)];
    AsmResult r = assemble(text, "x.tas");
    ASSERT_EQ(r.ok, r.errors.empty());
    if (!r.ok) {
      ASSERT_TRUE(r.bytes.empty());
    }
    for (const std::string& e : r.errors) ASSERT_TRUE(wellformed(e)) << e;
  }
}

// --- deep nesting -----------------------------------------------------------

constexpr std::size_t deep = 1'000'000;

TEST(AsmDeepNesting, ListsAMillionLevelsBothWays) {
  const std::string text = "pushconst " + std::string(deep, '[') + std::string(deep, ']') + "\n";
  AsmResult r = assemble(text, "t");
  ASSERT_TRUE(r.ok);
  Bytes expect{0x0E};
  expect.insert(expect.end(), deep, 0x04);
  expect.insert(expect.end(), deep, 0xFF);
  ASSERT_EQ(r.bytes, expect);
  EXPECT_EQ(dis(r.bytes), text);
  // Without its end markers the operand is cut off and listed raw.
  expect.resize(1 + deep);
  EXPECT_TRUE(roundtrips(expect));
}

TEST(AsmDeepNesting, DictionariesInsideABody) {
  std::string text = "if:\n    pushconst ";
  for (std::size_t k = 0; k < deep; ++k) text += "dict{1: ";
  text += "\"\"" + std::string(deep, '}') + "\n";
  AsmResult r = assemble(text, "t");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(dis(r.bytes), text);
}

TEST(AsmDeepNesting, BodiesWithinBodies) {
  // Each level of body doubles the bytes, so twenty levels are a lot.
  constexpr int levels = 20;
  std::string indented, braced = "pushconst ";
  for (int k = 0; k < levels; ++k) {
    indented += std::string(4 * k, ' ') + "while:\n";
    braced += "[{ pushconst ";
  }
  indented += std::string(4 * levels, ' ') + "nop\n";
  braced += "1";
  for (int k = 0; k < levels; ++k) braced += " }]";
  AsmResult a = assemble(indented, "t"), b = assemble(braced, "t");
  ASSERT_TRUE(a.ok);
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(a.bytes.size(), (std::size_t{3} << levels) - 2);
  EXPECT_EQ(dis(a.bytes), indented);
  EXPECT_TRUE(roundtrips(a.bytes));
  EXPECT_TRUE(roundtrips(b.bytes));
}

}  // namespace
}  // namespace TruvVM::tools
