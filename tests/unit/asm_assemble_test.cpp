// The assembler: encodings of every operand form, the worked example
// programs, and the line and column of every class of error.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "asm/assembler.hpp"

namespace TruvVM::tools {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes asmok(std::string_view text) {
  AsmResult r = assemble(text, "t.tas");
  EXPECT_TRUE(r.ok) << (r.errors.empty() ? "" : r.errors.front());
  return r.bytes;
}

// The operand bytes of "pushconst OPERAND".
Bytes operand(std::string_view text) {
  Bytes b = asmok("pushconst " + std::string(text));
  if (b.empty() || b[0] != 0x0E) return {};
  return Bytes(b.begin() + 1, b.end());
}

// The one error of a source text, without the file name.
std::string error1(std::string_view text) {
  AsmResult r = assemble(text, "t.tas");
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.bytes.empty());
  EXPECT_EQ(r.errors.size(), 1u) << text;
  if (r.errors.empty()) return "";
  return r.errors.front();
}

TEST(AsmAssemble, ProgramThatWritesHi) {
  EXPECT_EQ(asmok("pushconst \"hi\"\nenterattr stdout\nloadattr write\nleave\ncall 1\n"),
            (Bytes{0x0E, 0x02, 0x68, 0x69, 0x00, 0x07, 0x02, 0x73, 0x74, 0x64, 0x6F, 0x75, 0x74, 0x00, 0x0A,
                   0x02, 0x77, 0x72, 0x69, 0x74, 0x65, 0x00, 0x06, 0x09, 0x00, 0x00, 0x00, 0x00, 0x01}));
}

TEST(AsmAssemble, IfExampleInBothBodyForms) {
  const Bytes expect{0x0E, 0x00, 0x00, 0x00, 0x00, 0x01, 0x21, 0x06, 0x01, 0x0E,
                     0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x07};
  EXPECT_EQ(asmok("pushconst 1\nif { pushconst 7 }\n"), expect);
  EXPECT_EQ(asmok("PUSHCONST 1\nIf:\n    PushConst 7"), expect);
  EXPECT_EQ(asmok("pushconst 1\nif {\n  pushconst 7\n}"), expect);
}

TEST(AsmAssemble, OperandEdgeCases) {
  EXPECT_EQ(operand("300"), (Bytes{0x00, 0x00, 0x00, 0x01, 0x2C}));
  EXPECT_EQ(operand("-2"), (Bytes{0x00, 0xFF, 0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(operand("0xFFFFFFFE"), (Bytes{0x00, 0xFF, 0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(operand("-2147483648"), (Bytes{0x00, 0x80, 0x00, 0x00, 0x00}));
  EXPECT_EQ(operand("-0x80000000"), (Bytes{0x00, 0x80, 0x00, 0x00, 0x00}));
  EXPECT_EQ(operand("-0x10"), (Bytes{0x00, 0xFF, 0xFF, 0xFF, 0xF0}));
  EXPECT_EQ(operand("3.25"), (Bytes{0x01, 0, 0, 0, 3, 0, 0, 0, 0x19}));
  EXPECT_EQ(operand("3.0"), (Bytes{0x01, 0, 0, 0, 3, 0, 0, 0, 0}));
  EXPECT_EQ(operand("256.5"), (Bytes{0x01, 0, 0, 1, 0, 0, 0, 0, 5}));
  EXPECT_EQ(operand("3.50"), (Bytes{0x01, 0, 0, 0, 3, 0, 0, 0, 50}));
  EXPECT_EQ(operand("4294967295.4294967295"), (Bytes{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(operand("\"\""), (Bytes{0x02, 0x00}));
  EXPECT_EQ(operand("\"ab\""), (Bytes{0x02, 0x61, 0x62, 0x00}));
  EXPECT_EQ(operand("[]"), (Bytes{0x04, 0xFF}));
  EXPECT_EQ(operand("[1, \"x\"]"), (Bytes{0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x78, 0x00, 0xFF}));
  EXPECT_EQ(operand("[255]"), (Bytes{0x04, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF}));
  EXPECT_EQ(operand("dict{\"k\": 2}"), (Bytes{0x05, 0x02, 0x6B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xFF}));
  EXPECT_EQ(operand("{ dup; pop }"), (Bytes{0x06, 0x01, 0x0F, 0x00, 0x22}));
  EXPECT_EQ(operand("{ pop }"), (Bytes{0x06, 0x00, 0x22}));
  EXPECT_EQ(operand("object"), (Bytes{0x03}));
  EXPECT_EQ(operand("stack"), (Bytes{0x07}));
}

TEST(AsmAssemble, StringEscapesCoverEveryByteButZero) {
  EXPECT_EQ(operand(R"("\\\"\n\t\r\x01\xfF")"), (Bytes{0x02, '\\', '"', '\n', '\t', '\r', 0x01, 0xFF, 0x00}));
  // Other bytes, UTF-8 text and '#' included, stand for themselves.
  EXPECT_EQ(operand("\"\xC3\xA9#\x7F\t\""), (Bytes{0x02, 0xC3, 0xA9, '#', 0x7F, '\t', 0x00}));
}

TEST(AsmAssemble, NestedContainersAndBodiesAnywhere) {
  EXPECT_EQ(operand("[dict{[]: {nop}, 1: 2,}, [[stack]],]"),
            (Bytes{0x04, 0x05, 0x04, 0xFF, 0x06, 0x00, 0x25, 0x00, 0,    0,    0,    1,
                   0x00, 0,    0,    0,    2,    0xFF, 0x04, 0x04, 0x07, 0xFF, 0xFF, 0xFF}));
  // Lists and dictionaries run on over lines; bodies close implicitly.
  EXPECT_EQ(asmok("pushconst [1,\n  # note\n  2\n]"), asmok("pushconst [1, 2]"));
  EXPECT_EQ(asmok("pushconst { if:\n    nop }"), asmok("pushconst {if {nop}}"));
  // A body nested in a body is encoded twice over.
  EXPECT_EQ(asmok("if:\n  if:\n    pop\n"),
            (Bytes{0x21, 0x06, 0x01, 0x21, 0x01, 0x06, 0x01, 0x00, 0x00, 0x22}));
}

TEST(AsmAssemble, NamesAndOperandKinds) {
  EXPECT_EQ(asmok("storelocal x_1"), asmok("storelocal \"x_1\""));
  EXPECT_EQ(asmok("loadattr add"), (Bytes{0x0A, 0x02, 'a', 'd', 'd', 0x00}));
  EXPECT_EQ(asmok("loadlocal stack"), (Bytes{0x04, 0x07}));
  // Any operand form in any position.
  EXPECT_EQ(asmok("call \"2\"; if 1; storeglobal [1]"),
            (Bytes{0x09, 0x02, '2', 0x00, 0x21, 0x00, 0, 0, 0, 1, 0x0D, 0x04, 0x00, 0, 0, 0, 1, 0xFF}));
  EXPECT_EQ(asmok(".bytes 2a FF  # raw\nnop"), (Bytes{0x2A, 0xFF, 0x25}));
}

TEST(AsmAssemble, IndentedBlocksEndAtTheFirstShallowerLine) {
  // Comment lines and blank lines do not end a block; tabs count 8 columns.
  EXPECT_EQ(asmok("while:\n\tnop\n  # c\n\n        pop\nadd"), asmok("while { nop; pop }\nadd"));
  EXPECT_EQ(asmok("  if:\n   nop\n  pop"), asmok("if { nop }\npop"));
  EXPECT_EQ(asmok("if:\r\n    nop\r\n"), asmok("if { nop }"));
}

// --- errors: one test per class, each checking line and column -------------

TEST(AsmErrors, UnknownInstruction) {
  EXPECT_EQ(error1("nop\n  frob 1"), "t.tas:2:3: error: unknown instruction 'frob'");
  EXPECT_EQ(error1("object"), "t.tas:1:1: error: unknown instruction 'object'");
}

TEST(AsmErrors, MissingOrExtraOperand) {
  EXPECT_EQ(error1("nop\npushconst  # none"), "t.tas:2:1: error: 'pushconst' needs an operand");
  EXPECT_EQ(error1("{ call }"), "t.tas:1:1: error: expected an instruction");
  EXPECT_EQ(error1("pushconst {call}"), "t.tas:1:12: error: 'call' needs an operand");
  EXPECT_EQ(error1("add 1"), "t.tas:1:5: error: expected the end of the instruction");
  EXPECT_EQ(error1("pushconst 1 2"), "t.tas:1:13: error: expected the end of the instruction");
}

TEST(AsmErrors, IntegerOutOfRange) {
  EXPECT_EQ(error1("pushconst 2147483648"),
            "t.tas:1:11: error: integer out of range (-2147483648 to 2147483647)");
  EXPECT_NE(error1("pushconst -2147483649").find(":1:11: error: integer out of range"), std::string::npos);
  EXPECT_NE(error1("pushconst 0x100000000").find(":1:11: error: integer out of range"), std::string::npos);
  EXPECT_NE(error1("pushconst -0x80000001").find(":1:11: error: integer out of range"), std::string::npos);
  EXPECT_NE(error1("pushconst 99999999999999999999999").find("out of range"), std::string::npos);
}

TEST(AsmErrors, MalformedNumber) {
  for (const char* bad : {"12ab", "0x", "0xG", "1.", "1.2.3", "1.5e3", "0x1.5", ".5"})
    EXPECT_EQ(error1("pushconst " + std::string(bad)), "t.tas:1:11: error: malformed number") << bad;
  EXPECT_EQ(error1("pushconst -x"), "t.tas:1:11: error: expected a number after '-'");
}

TEST(AsmErrors, FloatsThatCannotBeEncoded) {
  EXPECT_EQ(error1("pushconst 3.05"),
            "t.tas:1:13: error: fraction digits cannot begin with 0 (the format holds them as an integer)");
  EXPECT_NE(error1("pushconst [3.00]").find(":1:14: error: fraction digits cannot begin with 0"),
            std::string::npos);
  EXPECT_EQ(error1("pushconst -1.5"), "t.tas:1:11: error: a float operand cannot be negative");
  EXPECT_NE(error1("pushconst 4294967296.0").find(":1:11: error: integer part"), std::string::npos);
  EXPECT_NE(error1("pushconst 1.4294967296").find(":1:13: error: fraction digits of the float out of range"),
            std::string::npos);
}

TEST(AsmErrors, Strings) {
  EXPECT_EQ(error1("pushconst \"abc"), "t.tas:1:11: error: string is not closed: '\"' missing on this line");
  EXPECT_EQ(error1("pushconst \"abc\\"),
            "t.tas:1:15: error: string is not closed: '\"' missing on this line");
  EXPECT_EQ(error1("pushconst \"a\\qb\""),
            "t.tas:1:13: error: unknown escape '\\q' (use \\\\, \\\", \\n, \\t, \\r or \\xHH)");
  EXPECT_EQ(error1("pushconst \"ab\\x00\""), "t.tas:1:14: error: \\x00: a string cannot hold the byte 0x00");
  EXPECT_EQ(error1("pushconst \"ab\\x4\""), "t.tas:1:14: error: \\x must be followed by two hex digits");
  EXPECT_EQ(error1(std::string("pushconst \"a\0\"", 14)),
            "t.tas:1:13: error: a string cannot hold the byte 0x00");
}

TEST(AsmErrors, BareWordOutsideAName) {
  EXPECT_EQ(error1("pushconst foo"),
            "t.tas:1:11: error: bare word 'foo' is allowed only as the whole operand "
            "of a name instruction; write \"foo\"");
  EXPECT_NE(error1("storelocal [x]").find(":1:13: error: bare word 'x'"), std::string::npos);
  EXPECT_EQ(error1("storelocal dict"), "t.tas:1:12: error: 'dict' must be followed by '{'");
}

TEST(AsmErrors, ListsAndDictionaries) {
  EXPECT_EQ(error1("pushconst [1 2]"), "t.tas:1:14: error: expected ',' or ']' in the list");
  EXPECT_EQ(error1("pushconst [1, {nop}; 3]"), "t.tas:1:20: error: expected ',' or ']' in the list");
  EXPECT_EQ(error1("pushconst dict{1 2}"), "t.tas:1:18: error: expected ':' after the dictionary key");
  EXPECT_EQ(error1("pushconst dict{1: 2 3: 4}"), "t.tas:1:21: error: expected ',' or '}' in the dictionary");
  EXPECT_EQ(error1("pushconst dict{1: }"), "t.tas:1:19: error: expected an operand");
  EXPECT_EQ(error1("pushconst ]"), "t.tas:1:11: error: expected an operand");
}

TEST(AsmErrors, UnclosedAtEndOfFileReportsTheOpening) {
  EXPECT_EQ(error1("nop\npushconst [1, [2]\n"), "t.tas:2:11: error: list is not closed: ']' missing");
  EXPECT_EQ(error1("pushconst\tdict{1: 2,\n"), "t.tas:1:11: error: dictionary is not closed: '}' missing");
  EXPECT_EQ(error1("\n if {\n  nop\n"), "t.tas:2:5: error: function body is not closed: '}' missing");
}

TEST(AsmErrors, EmptyBodies) {
  EXPECT_EQ(error1("pushconst [{ }]"), "t.tas:1:12: error: a function body cannot be empty");
  EXPECT_EQ(error1("nop\nwhile :\n# only a comment\nnop"),
            "t.tas:2:7: error: a function body cannot be empty");
  EXPECT_EQ(error1("if:"), "t.tas:1:3: error: a function body cannot be empty");
}

TEST(AsmErrors, MisplacedColon) {
  EXPECT_EQ(error1("if: nop"),
            "t.tas:1:5: error: ':' must end the line; the body follows on lines indented deeper");
  EXPECT_EQ(error1("pushconst [:]"),
            "t.tas:1:12: error: a ':' body can only be the whole operand of an instruction; use { } here");
}

TEST(AsmErrors, RawBytes) {
  EXPECT_EQ(error1(".bytes 0E 1"), "t.tas:1:11: error: expected a byte as two hex digits");
  EXPECT_EQ(error1(".bytes 0E0F"), "t.tas:1:8: error: expected a byte as two hex digits");
  EXPECT_EQ(error1("  .bytes # none"), "t.tas:1:3: error: .bytes needs at least one byte");
  EXPECT_EQ(error1(".byte 01"), "t.tas:1:1: error: unknown directive '.byte'");
}

TEST(AsmErrors, StrayCharactersAndClosers) {
  EXPECT_EQ(error1("nop }"), "t.tas:1:5: error: '}' without an open function body");
  EXPECT_EQ(error1("pushconst @"), "t.tas:1:11: error: unexpected '@'");
  EXPECT_EQ(error1("pushconst \x01"), "t.tas:1:11: error: unexpected byte 0x01");
  EXPECT_EQ(error1("]"), "t.tas:1:1: error: expected an instruction");
}

TEST(AsmErrors, AllAreReportedAndRecoveryResumesAtTheNextLine) {
  // An error inside an indented body keeps the body open; an abandoned
  // multi-line list does not swallow the lines after it.
  AsmResult r = assemble(
      "frob\n"
      "if:\n"
      "    pushconst [1, @]\n"
      "    nop\n"
      "pushconst [1,\n"
      "  2 3]\n"
      "pop\n"
      "pushconst { bad }\n"
      "add",
      "f.tas");
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.bytes.empty());
  EXPECT_EQ(r.errors, (std::vector<std::string>{"f.tas:1:1: error: unknown instruction 'frob'",
                                                "f.tas:3:19: error: unexpected '@'",
                                                "f.tas:6:5: error: expected ',' or ']' in the list",
                                                "f.tas:8:13: error: unknown instruction 'bad'"}));
}

// --- program size -------------------------------------------------------------

// IF bodies nested `levels` deep as indented blocks (two spaces a level), the
// innermost holding a NOP: 3 * 2^levels - 2 bytes.
std::string nestedifs(int levels) {
  std::string text;
  for (int k = 0; k < levels; ++k) text += std::string(2 * k, ' ') + "if:\n";
  return text + std::string(2 * levels, ' ') + "nop\n";
}

const std::string toolarge1gib =
    "program too large: with this function body the bytecode is more than 1 GiB (a body takes "
    "twice its size in the code around it, so each level of nesting doubles it)";

TEST(AsmSize, DeepNestingIsRefusedWithoutMakingTheBytes) {
  // 3 * 2^40 bytes. Levels close innermost first; the body opened on line 12
  // is the first to take the program past 1 GiB. Only counting happens before
  // that, so this takes no memory to speak of.
  EXPECT_EQ(error1(nestedifs(40)), "t.tas:12:25: error: " + toolarge1gib);
  std::string braced;
  for (int k = 0; k < 40; ++k) braced += "if { ";
  braced += "nop";
  for (int k = 0; k < 40; ++k) braced += " }";
  EXPECT_EQ(error1(braced), "t.tas:1:59: error: " + toolarge1gib);
  // Reported once, with the other errors of the text.
  AsmResult r = assemble(nestedifs(60) + "frob\n", "t.tas");
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.bytes.empty());
  EXPECT_EQ(r.errors, (std::vector<std::string>{"t.tas:32:65: error: " + toolarge1gib,
                                                "t.tas:62:1: error: unknown instruction 'frob'"}));
}

TEST(AsmSize, ModerateNestingAssembles) {
  const Bytes b = asmok(nestedifs(10));
  EXPECT_EQ(b.size(), (std::size_t{3} << 10) - 2);
  std::string braced;
  for (int k = 0; k < 10; ++k) braced += "if { ";
  braced += "nop";
  for (int k = 0; k < 10; ++k) braced += " }";
  EXPECT_EQ(asmok(braced), b);
}

TEST(AsmSize, TheLimitIsExact) {
  // 10 bytes: 21 06 01 21 01 06 01 00 00 22, the inner body 4 of them.
  const std::string two = "if:\n  if:\n    pop\n";
  EXPECT_TRUE(assemble(two, "t", 10).ok);
  EXPECT_EQ(assemble(two, "t", 9).errors,
            (std::vector<std::string>{"t:1:3: error: program too large: with this function body the bytecode is "
                                      "more than 9 bytes (a body takes twice its size in the code around it, so "
                                      "each level of nesting doubles it)"}));
  EXPECT_TRUE(assemble(two, "t", 3).errors.at(0).starts_with("t:2:5: error: program too large: with this"));
  // Code without bodies is measured line by line.
  EXPECT_TRUE(assemble("nop\nnop\nnop", "t", 3).ok);
  EXPECT_EQ(assemble("nop\n  nop; nop\nnop", "t", 2).errors,
            (std::vector<std::string>{"t:2:3: error: program too large: by this line the bytecode is more than 2 bytes"}));
}

}  // namespace
}  // namespace TruvVM::tools
