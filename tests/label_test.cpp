#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "System/ProgressBar/Counts.hpp"

namespace pb = System::ProgressBar;
using pb::Label;
using pb::Progress;
using pb::Timing;

namespace {

const Timing kTiming{};

std::string run(const Label<>& label, Progress<> p = {3, 10}) { return label.runLabel(p, kTiming); }

// A label that shows progressDone and counts its runs.
Label<> counting(int& runs) {
  return Label<>([&runs](const Progress<>& p, const Timing&) {
    ++runs;
    return std::to_string(p.progressDone);
  });
}

TEST(Label, TextLabelsIgnoreTheirInputs) {
  // clang-format off
  const std::vector<std::pair<Label<>, std::string>> cases = {
      {pb::msg(""), ""},
      {pb::fromString(""), ""},
      {pb::fromString(U""), ""},
      {pb::msg("héllo"), "héllo"},
      {"literal", "literal"},
      {u8"ü", "ü"},
      {U"→", "→"},
      {std::string("str"), "str"},
      {pb::emptyLabel(), ""},
  };
  // clang-format on
  for (const auto& [label, text] : cases) {
    EXPECT_EQ(run(label, {0, 0}), text);
    EXPECT_EQ(run(label, {-5, 7}), text);
  }
}

TEST(Label, FromCodePointsReplacesSurrogates) {
  EXPECT_EQ(run(pb::fromString(U"a\xD800"
                               U"b")),
            "a\uFFFDb");
  const std::u32string in = {0xD800, 0xDBFF,  0xDC00,   0xDFFF, 0x110000, 0xD7FF, 0xE000,
                             0xFFFF, 0x10000, 0x10FFFF, 0x7FF,  0x800,    0x0};
  EXPECT_EQ(run(pb::fromString(std::u32string_view(in))),
            std::string("\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uD7FF\uE000\uFFFF\U00010000\U0010FFFF"
                        "\u07FF\u0800") +
                std::string(1, '\0'));
}

TEST(Label, FromUtf8ReplacesEachMaximalIllFormedSubsequence) {
  const std::string r = "\uFFFD";
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain ascii", "plain ascii"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "é€😀"},
      {"\x80", r},                                      // lone continuation
      {"\xC0\xAF", r + r},                              // overlong lead never valid
      {"\xE2\x82", r},                                  // truncated: one subpart
      {"a\xE2\x82z", "a" + r + "z"},
      {"\xED\xA0\x80", r + r + r},                      // encoded surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},              // above U+10FFFF
      {"\xF0\x9F\x98", r},                              // truncated 4-byte
      {"\xFF\xFE", r + r},
      {std::string("\0x", 2), std::string("\0x", 2)},   // NUL passes through
      // The edges of each lead byte's range of second bytes.
      {"\xC1\xBF", r + r},  {"\xC2\x80", "\u0080"},   {"\xDF\xBF", "\u07FF"},
      {"\xE0\x9F\x80", r + r + r},  {"\xE0\xA0\x80", "\u0800"},
      {"\xED\x9F\xBF", "\uD7FF"},  {"\xEE\x80\x80", "\uE000"},
      {"\xF0\x8F\xBF\xBF", r + r + r + r},  {"\xF0\x90\x80\x80", "\U00010000"},
      {"\xF4\x8F\xBF\xBF", "\U0010FFFF"},  {"\xF5\x80", r + r},
      {"\xE2\x82\xAC\xE2", "\u20AC" + r},    // truncated at the very end
  };
  // clang-format on
  for (const auto& [in, out] : cases) EXPECT_EQ(run(pb::fromString(in)), out) << in;
}

TEST(Label, AppendRunsBothSidesOnTheSameInputsInOrder) {
  const Label<> a = "A", b = "B";
  EXPECT_EQ(run(pb::appendLabel(a, b)), "AB");
  EXPECT_EQ(run(pb::appendLabel(b, a)), "BA");
  EXPECT_EQ(run(pb::appendLabel(pb::emptyLabel(), a)), "A");
  EXPECT_EQ(run(pb::appendLabel(a, pb::emptyLabel())), "A");
  int runs = 0;
  const Label<> done = counting(runs);
  EXPECT_EQ(run(done + "|" + done, {42, 0}), "42|42");
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(run("<" + done), "<3");
}

TEST(Label, SconcatAndConcatLabels) {
  int runs = 0;
  const Label<> one = counting(runs);
  const Label<> same = pb::sconcat(one, {});
  EXPECT_EQ(run(same, {9, 0}), "9");
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(run(pb::sconcat(Label<>("a"), {"b", "c"})), "abc");
  EXPECT_EQ(run(pb::concatLabels({})), "");
  EXPECT_EQ(run(pb::concatLabels({"x"})), "x");
  EXPECT_EQ(run(pb::concatLabels({pb::exact(), pb::msg(" "), pb::percentage()}), {5, 100}),
            "  5/100   5%");
}

TEST(Label, StimesRepeatsAndRunsTheLabelEachTime) {
  int runs = 0;
  const Label<> l = counting(runs);
  EXPECT_EQ(run(pb::stimes(1, Label<>("ab"))), "ab");
  EXPECT_EQ(run(pb::stimes(3, Label<>("ab"))), "ababab");
  EXPECT_EQ(run(pb::stimes(4u, l), {7, 0}), "7777");
  EXPECT_EQ(runs, 4);
  EXPECT_EQ(run(pb::stimes(std::int8_t{2}, Label<>("-"))), "--");
  __extension__ typedef __int128 Int128;
  __extension__ typedef unsigned __int128 UInt128;
  EXPECT_EQ(run(pb::stimes(Int128{2}, Label<>("x"))), "xx");
  EXPECT_EQ(run(pb::stimes(UInt128{3}, Label<>("y"))), "yyy");
  EXPECT_THROW((void)pb::stimes(-(Int128{1} << 100), l), std::invalid_argument);
  for (const long long bad : {0LL, -1LL, -9'000'000'000LL}) {
    try {
      (void)pb::stimes(bad, l);
      ADD_FAILURE() << "no exception for " << bad;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(std::to_string(bad)), std::string::npos);
    }
  }
}

// Every copy of a label shares its callable, and so do labels combined from
// it: folding thousands of labels copies no callable at all.
struct CountedCall {
  static inline int copies = 0;
  CountedCall() = default;
  CountedCall(const CountedCall&) { ++copies; }
  std::string operator()(const Progress<>&, const Timing&) const { return "."; }
};

TEST(Label, CopyingAndCombiningShareCallables) {
  const Label<> dot = CountedCall{};
  const int made = CountedCall::copies;
  Label<> folded = dot;
  for (int i = 0; i < 4000; ++i) folded = folded + dot;
  std::vector<Label<>> copies(100, folded);
  EXPECT_EQ(CountedCall::copies, made);
  EXPECT_EQ(run(copies.back()), std::string(4001, '.'));
}

TEST(Label, CustomValuesReachCallerLabels) {
  const Label<std::string> file(
      [](const Progress<std::string>& p, const Timing&) { return p.progressCustom; });
  const Label<std::string> line = "file " + file;
  EXPECT_EQ(line.runLabel({1, 2, "a.txt"}, kTiming), "file a.txt");
}

}  // namespace
