// Operand decoding: every operand type, nesting, and malformed input.

#include <gtest/gtest.h>

#include "vm/decode.hpp"

namespace TruvVM {
namespace {

DecodedOperand decode(std::vector<byte> bytes) { return decodeoperand(bytes.data(), bytes.size()); }

TEST(DecodeTest, Integers) {
  for (auto [bytes, value] : std::vector<std::pair<std::vector<byte>, std::int32_t>>{
           {{0x00, 0x00, 0x00, 0x01, 0x2C}, 300},
           {{0x00, 0xFF, 0xFF, 0xFF, 0xFE}, -2},
           {{0x00, 0x80, 0x00, 0x00, 0x00}, INT32_MIN}}) {
    DecodedOperand d = decode(bytes);
    ASSERT_EQ(d.status, DecodeStatus::Ok);
    ASSERT_EQ(d.nodes.size(), 1u);
    EXPECT_EQ(d.nodes[0].ival, value);
    EXPECT_EQ(d.consumed, 5u);
  }
}

TEST(DecodeTest, Floats) {
  DecodedOperand d = decode({0x01, 0, 0, 0, 3, 0, 0, 0, 0x19});
  ASSERT_EQ(d.status, DecodeStatus::Ok);
  EXPECT_EQ(floatoperand(d.nodes[0].ipart, d.nodes[0].fpart), 3.25f);
  EXPECT_EQ(floatoperand(3, 0), 3.0f);
  EXPECT_EQ(floatoperand(256, 5), 256.5f);
  EXPECT_EQ(floatoperand(3, 5), 3.5f);
  EXPECT_EQ(floatoperand(3, 50), 3.5f);
  EXPECT_EQ(floatoperand(0, 4294967295u), 0.4294967295f);
  EXPECT_EQ(d.consumed, 9u);
}

TEST(DecodeTest, StringsClassAndStack) {
  DecodedOperand empty = decode({0x02, 0x00});
  ASSERT_EQ(empty.status, DecodeStatus::Ok);
  EXPECT_EQ(empty.nodes[0].payloadlen, 0u);
  DecodedOperand ab = decode({0x02, 0x61, 0x62, 0x00, 0x99});
  ASSERT_EQ(ab.status, DecodeStatus::Ok);
  EXPECT_EQ(ab.nodes[0].payload, 1u);
  EXPECT_EQ(ab.nodes[0].payloadlen, 2u);
  EXPECT_EQ(ab.consumed, 4u);
  EXPECT_EQ(decode({0x03}).nodes[0].type, OperandType::Class);
  EXPECT_EQ(decode({0x07, 0x03}).consumed, 1u);
}

TEST(DecodeTest, ListsAndDicts) {
  DecodedOperand empty = decode({0x04, 0xFF});
  ASSERT_EQ(empty.status, DecodeStatus::Ok);
  EXPECT_EQ(empty.nodes[0].count, 0u);

  DecodedOperand list = decode({0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x78, 0x00, 0xFF});
  ASSERT_EQ(list.status, DecodeStatus::Ok);
  ASSERT_EQ(list.nodes.size(), 3u);
  EXPECT_EQ(list.nodes[0].count, 2u);
  EXPECT_EQ(list.nodes[1].ival, 1);
  EXPECT_EQ(list.nodes[2].type, OperandType::String);
  EXPECT_EQ(list.consumed, 10u);

  DecodedOperand dict = decode({0x05, 0x02, 0x6B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xFF});
  ASSERT_EQ(dict.status, DecodeStatus::Ok);
  EXPECT_EQ(dict.nodes[0].count, 1u);
  EXPECT_EQ(dict.nodes[2].ival, 2);

  // 0xFF inside an element's payload does not end the list.
  DecodedOperand ff = decode({0x04, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF});
  ASSERT_EQ(ff.status, DecodeStatus::Ok);
  EXPECT_EQ(ff.nodes[0].count, 1u);
  EXPECT_EQ(ff.nodes[1].ival, 255);

  // Nested containers: [[1], dict{[]: 2}] and its node order.
  DecodedOperand nested = decode({0x04, 0x04, 0x00, 0, 0, 0, 1, 0xFF, 0x05, 0x04, 0xFF, 0x00, 0, 0, 0, 2, 0xFF, 0xFF});
  ASSERT_EQ(nested.status, DecodeStatus::Ok);
  ASSERT_EQ(nested.nodes.size(), 6u);
  EXPECT_EQ(nested.nodes[0].count, 2u);
  EXPECT_EQ(nested.nodes[1].count, 1u);
  EXPECT_EQ(nested.nodes[3].type, OperandType::Dict);
  EXPECT_EQ(nested.nodes[3].count, 1u);
  EXPECT_EQ(nested.nodes[4].type, OperandType::List);
  EXPECT_EQ(nested.nodes[5].ival, 2);
}

TEST(DecodeTest, FunctionBodies) {
  std::vector<byte> bytes{0x06, 0x01, 0x0F, 0x00, 0x22};
  DecodedOperand d = decodeoperand(bytes.data(), bytes.size());
  ASSERT_EQ(d.status, DecodeStatus::Ok);
  EXPECT_EQ(funcbody(bytes.data(), d.nodes[0]), (std::vector<byte>{0x0F, 0x22}));
  EXPECT_TRUE(d.nodes[0].canonicalmarkers);
  std::vector<byte> odd{0x06, 0x05, 0x0F, 0x00, 0x22};
  DecodedOperand o = decodeoperand(odd.data(), odd.size());
  ASSERT_EQ(o.status, DecodeStatus::Ok);
  EXPECT_FALSE(o.nodes[0].canonicalmarkers);
  EXPECT_EQ(decode({0x06, 0x00, 0x22}).nodes[0].count, 1u);
}

TEST(DecodeTest, BadTypes) {
  DecodedOperand d = decode({0x08, 0x00});
  EXPECT_EQ(d.status, DecodeStatus::BadType);
  EXPECT_EQ(d.consumed, 1u);
  EXPECT_EQ(d.badtype, 8);
  // Inside a dict, 0xFF where a value must begin is a bad type.
  DecodedOperand v = decode({0x05, 0x00, 0, 0, 0, 1, 0xFF});
  EXPECT_EQ(v.status, DecodeStatus::BadType);
  EXPECT_EQ(v.consumed, 7u);
  // The stack operands before the fault are among the nodes.
  DecodedOperand s = decode({0x04, 0x07, 0x07, 0x09});
  EXPECT_EQ(s.status, DecodeStatus::BadType);
  EXPECT_EQ(s.nodes.size(), 3u);
}

TEST(DecodeTest, TruncatedOperandsConsumeEverything) {
  for (std::vector<byte> bytes : std::vector<std::vector<byte>>{
           {},
           {0x00, 0x01, 0x02},
           {0x01, 0, 0, 0, 1, 0, 0},
           {0x02, 0x61, 0x62},
           {0x04},
           {0x04, 0x00, 0, 0, 0, 1},
           {0x05, 0x02, 0x6B, 0x00},
           {0x06, 0x01, 0x0E, 0x01},
           {0x06, 0x01},
           {0x06}}) {
    DecodedOperand d = decode(bytes);
    EXPECT_EQ(d.status, DecodeStatus::Truncated) << bytes.size();
    EXPECT_EQ(d.consumed, bytes.size());
  }
}

TEST(DecodeTest, DeepNestingUsesBoundedStack) {
  std::vector<byte> bytes(1000000, 0x04);
  bytes.insert(bytes.end(), 1000000, 0xFF);
  DecodedOperand d = decode(bytes);
  ASSERT_EQ(d.status, DecodeStatus::Ok);
  EXPECT_EQ(d.nodes.size(), 1000000u);
  EXPECT_EQ(d.consumed, 2000000u);
}

}  // namespace
}  // namespace TruvVM
