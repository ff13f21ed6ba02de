// Labels: the texts shown before and after a bar, recomputed at every draw.
// A label is a small function of (Progress, Timing); labels combine by
// concatenation (`appendLabel`, or `+`), and string literals convert to
// constant labels wherever a label is expected:
//
//   Label<> counts = exact<>() + " " + percentage<>();   // "  5/100   5%"
//
// The stock labels live beside this header: counts in Counts.hpp, times in
// Time.hpp, rates in Rates.hpp, byte sizes in Bytes.hpp, padding in Padding.hpp.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "System/ProgressBar/Progress.hpp"
#include "System/ProgressBar/detail/Ref.hpp"
#include "System/ProgressBar/detail/Std.hpp"

namespace System::ProgressBar {

namespace detail {

// Compiled helpers of this header.
// Valid UTF-8 for any bytes: each maximal ill-formed subsequence becomes
// U+FFFD, valid input comes back unchanged.
Text fromUtf8(std::string_view bytes);
// UTF-8 for code points; surrogates and values above U+10FFFF become U+FFFD.
Text fromCodePoints(std::u32string_view codePoints);
// Throws std::invalid_argument naming a repetition count of zero or less.
[[noreturn]] void throwBadRepeatCount(Int128 count);

template <class T>
concept TextLike = std::convertible_to<const T&, std::string_view> ||
    std::convertible_to<const T&, std::u8string_view> ||
    std::convertible_to<const T&, std::u32string_view>;

template <class T>
inline constexpr bool kDependentFalse = false;

// One node of a label. Every copy of a label shares its node, so copying or
// combining labels copies no text and no callable. Nodes append their text to
// a buffer, so that a combined label builds its text in one string.
template <class Custom>
class LabelNode : public RefCounted {
 public:
  virtual void appendTo(Text& out, const Progress<Custom>& p, const Timing& t) const = 0;
  // The half-lives of the recent speeds the node reads, in nanoseconds, so
  // that a bar keeps those in its speed history.
  virtual void halfLives(std::vector<std::int64_t>& out) const { (void)out; }
};

template <class Custom>
using LabelNodePtr = Ref<const LabelNode<Custom>>;

template <class Node, class... Args>
auto makeNode(Args&&... args) {
  using Custom = typename Node::CustomType;
  return LabelNodePtr<Custom>(makeRef<Node>(std::forward<Args>(args)...));
}

// A node around any callable (Progress, Timing) -> text.
template <class Custom, class F>
class CallableNode final : public LabelNode<Custom> {
 public:
  using CustomType = Custom;
  explicit CallableNode(F f) : f_(std::move(f)) {}
  void appendTo(Text& out, const Progress<Custom>& p, const Timing& t) const override {
    out += f_(p, t);
  }

 private:
  F f_;
};

// A node around a callable that appends its text itself: (Text&, p, t) -> void.
template <class Custom, class F>
class AppendingNode final : public LabelNode<Custom> {
 public:
  using CustomType = Custom;
  explicit AppendingNode(F f) : f_(std::move(f)) {}
  void appendTo(Text& out, const Progress<Custom>& p, const Timing& t) const override {
    f_(out, p, t);
  }

 private:
  F f_;
};

// What `runLabel` holds for every label made by this library.
template <class Custom>
struct NodeCall {
  LabelNodePtr<Custom> node;
  Text operator()(const Progress<Custom>& p, const Timing& t) const {
    Text out;
    node->appendTo(out, p, t);
    return out;
  }
};

template <class Custom>
class ConstantNode final : public LabelNode<Custom> {
 public:
  using CustomType = Custom;
  explicit ConstantNode(Text text) : text_(std::move(text)) {}
  void appendTo(Text& out, const Progress<Custom>&, const Timing&) const override {
    if (!text_.empty()) out += text_;
  }

 private:
  Text text_;
};

template <class Custom>
class SequenceNode final : public LabelNode<Custom> {
 public:
  using CustomType = Custom;
  // Short sequences are joined flat, so that `a + b + c + d` runs as one
  // list rather than a chain of pairs; long ones nest, so that joining stays
  // cheap however many labels are joined.
  static constexpr std::size_t kFlatParts = 16;

  explicit SequenceNode(std::vector<LabelNodePtr<Custom>> parts) : parts_(std::move(parts)) {}
  void appendTo(Text& out, const Progress<Custom>& p, const Timing& t) const override {
    for (const auto& part : parts_) part->appendTo(out, p, t);
  }
  void halfLives(std::vector<std::int64_t>& out) const override {
    for (const auto& part : parts_) part->halfLives(out);
  }
  // `left` then `right`.
  static LabelNodePtr<Custom> join(const LabelNodePtr<Custom>& left,
                                   const LabelNodePtr<Custom>& right) {
    std::vector<LabelNodePtr<Custom>> parts;
    const auto* sequence = dynamic_cast<const SequenceNode*>(left.get());
    if (sequence != nullptr && sequence->parts_.size() < kFlatParts) {
      parts.reserve(sequence->parts_.size() + 1);
      parts = sequence->parts_;
    } else {
      parts.push_back(left);
    }
    parts.push_back(right);
    return makeNode<SequenceNode>(std::move(parts));
  }

 private:
  std::vector<LabelNodePtr<Custom>> parts_;
};

template <class Custom>
class RepeatNode final : public LabelNode<Custom> {
 public:
  using CustomType = Custom;
  RepeatNode(LabelNodePtr<Custom> part, UInt128 times) : part_(std::move(part)), times_(times) {}
  void appendTo(Text& out, const Progress<Custom>& p, const Timing& t) const override {
    for (UInt128 i = 0; i < times_; ++i) part_->appendTo(out, p, t);
  }
  void halfLives(std::vector<std::int64_t>& out) const override { part_->halfLives(out); }

 private:
  LabelNodePtr<Custom> part_;
  UInt128 times_;
};

// A label's node: its own when this library made it, otherwise a node around
// whatever callable the caller put into `runLabel`.
template <class Label>
auto nodeOf(const Label& label) {
  using Custom = typename Label::CustomType;
  if (const auto* call = label.runLabel.template target<NodeCall<Custom>>()) return call->node;
  using Function = typename Label::Function;
  return makeNode<CallableNode<Custom, Function>>(label.runLabel);
}

// The half-lives a label's recent-speed parts read (see LabelNode).
template <class Label>
void collectHalfLives(const Label& label, std::vector<std::int64_t>& out) {
  using Custom = typename Label::CustomType;
  if (const auto* call = label.runLabel.template target<NodeCall<Custom>>()) {
    call->node->halfLives(out);
  }
}

// Appends a label's text to `out`.
template <class Label, class Custom>
void appendLabelText(Text& out, const Label& label, const Progress<Custom>& p, const Timing& t) {
  if (const auto* call = label.runLabel.template target<NodeCall<Custom>>()) {
    call->node->appendTo(out, p, t);
  } else {
    out += label.runLabel(p, t);
  }
}

// A repetition count: any integer type but bool and the character types.
template <class N>
inline constexpr bool kRepeatCount = CountInteger<N>;

}  // namespace detail

/// A label: a callable from (Progress, Timing) to Text, run afresh at every
/// draw. Labels are immutable values; copies share their callable and any text
/// they hold, and so do labels combined from them, so copying and combining
/// cost the same whatever a label holds. Every label this library makes is
/// pure, so one label may be shared between bars and threads.
///
/// A string converts to a constant label implicitly: UTF-8 (`"..."`,
/// `u8"..."`, `std::string`, `std::string_view`) or code points (`U"..."`,
/// `std::u32string_view`). Malformed UTF-8 and surrogate code points become
/// U+FFFD once, when the label is made.
template <class Custom = std::monostate>
class Label {
 public:
  using CustomType = Custom;
  using Function = std::function<Text(const Progress<Custom>&, const Timing&)>;

  /// The label's callable; `label.runLabel(progress, timing)` gives its text.
  Function runLabel;

  /// Wraps any callable `(const Progress<Custom>&, const Timing&) -> Text`.
  template <class F>
  requires(!std::same_as<std::remove_cvref_t<F>, Label> &&
           !detail::TextLike<std::remove_cvref_t<F>> &&
           std::is_invocable_r_v<Text, const std::remove_cvref_t<F>&, const Progress<Custom>&,
                                 const Timing&>)
      Label(F&& f)  // NOLINT(google-explicit-constructor)
      : Label(detail::makeNode<detail::CallableNode<Custom, std::remove_cvref_t<F>>>(
            std::forward<F>(f))) {}

  /// A callable that does not return text is not a label.
  template <class F>
  requires(
      !std::same_as<std::remove_cvref_t<F>, Label> && !detail::TextLike<std::remove_cvref_t<F>> &&
      std::is_invocable_v<const std::remove_cvref_t<F>&, const Progress<Custom>&, const Timing&> &&
      !std::is_invocable_r_v<Text, const std::remove_cvref_t<F>&, const Progress<Custom>&,
                             const Timing&>) Label(F&&) {  // NOLINT(google-explicit-constructor)
    static_assert(detail::kDependentFalse<F>,
                  "a label's callable must return text (std::string): "
                  "(const Progress<C>&, const Timing&) -> std::string");
  }

  /// Constant labels from UTF-8 text (the implicit `fromString`).
  Label(const char* utf8)  // NOLINT(google-explicit-constructor)
      : Label(std::string_view(utf8)) {}
  Label(const std::string& utf8)  // NOLINT(google-explicit-constructor)
      : Label(std::string_view(utf8)) {}
  Label(std::string_view utf8)  // NOLINT(google-explicit-constructor)
      : Label(constant(detail::fromUtf8(utf8))) {}
  Label(const char8_t* utf8)  // NOLINT(google-explicit-constructor)
      : Label(std::u8string_view(utf8)) {}
  Label(std::u8string_view utf8)  // NOLINT(google-explicit-constructor)
      : Label(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size())) {}
  /// Constant labels from code points (the implicit `fromString`).
  Label(const char32_t* codePoints)  // NOLINT(google-explicit-constructor)
      : Label(std::u32string_view(codePoints)) {}
  Label(std::u32string_view codePoints)  // NOLINT(google-explicit-constructor)
      : Label(constant(detail::fromCodePoints(codePoints))) {}

  /// A label around a node of this library's.
  explicit Label(detail::LabelNodePtr<Custom> node) : runLabel(detail::NodeCall<Custom>{node}) {}

  /// `a + b` is `appendLabel(a, b)`; either side may be a string literal.
  friend Label operator+(const Label& left, const Label& right) {
    return Label(detail::SequenceNode<Custom>::join(detail::nodeOf(left), detail::nodeOf(right)));
  }
  template <class T>
  requires(!std::convertible_to<const T&, Label>) friend Label operator+(const Label&, const T&) {
    static_assert(detail::kDependentFalse<T>,
                  "a label joins only with a label of the same custom type or with text");
    return {""};
  }
  template <class T>
  requires(!std::convertible_to<const T&, Label>) friend Label operator+(const T&, const Label&) {
    static_assert(detail::kDependentFalse<T>,
                  "a label joins only with a label of the same custom type or with text");
    return {""};
  }

 private:
  static detail::LabelNodePtr<Custom> constant(Text text) {
    return detail::makeNode<detail::ConstantNode<Custom>>(std::move(text));
  }
};

/// A label whose text is always `text`, unchanged.
template <class Custom = std::monostate>
Label<Custom> msg(Text text) {
  return Label<Custom>(detail::makeNode<detail::ConstantNode<Custom>>(std::move(text)));
}

/// The bar's message, as `setMessage` last set it: empty until then, and in
/// a `Timing` built by hand (which has no message).
template <class Custom = std::monostate>
Label<Custom> message() {
  auto node = [](Text& out, const Progress<Custom>&, const Timing& t) {
    if (t.timingMessage != nullptr) out += *t.timingMessage;
  };
  return Label<Custom>(
      detail::makeNode<detail::AppendingNode<Custom, decltype(node)>>(std::move(node)));
}

/// A label whose text is always `codePoints` as UTF-8 (surrogates and values
/// above U+10FFFF become U+FFFD). The conversion happens once, here.
template <class Custom = std::monostate>
Label<Custom> fromString(std::u32string_view codePoints) {
  return Label<Custom>(codePoints);
}

/// A label whose text is always `utf8`, with each malformed sequence replaced
/// by U+FFFD. The conversion happens once, here.
template <class Custom = std::monostate>
Label<Custom> fromString(std::string_view utf8) {
  return Label<Custom>(utf8);
}

/// The label whose text is always empty; the neutral element of `appendLabel`.
template <class Custom = std::monostate>
Label<Custom> emptyLabel() {
  return msg<Custom>(Text());
}

/// A label whose text is `left`'s text followed by `right`'s; both are run
/// with the same progress and timing, left first.
template <class Custom>
Label<Custom> appendLabel(const Label<Custom>& left, const Label<Custom>& right) {
  return left + right;
}

/// Concatenates any number of labels, run in order with the same progress and
/// timing; the empty sequence gives empty text.
template <class Custom>
Label<Custom> concatLabels(const std::vector<Label<Custom>>& labels) {
  if (labels.size() == 1) return labels.front();
  std::vector<detail::LabelNodePtr<Custom>> nodes;
  nodes.reserve(labels.size());
  for (const Label<Custom>& label : labels) nodes.push_back(detail::nodeOf(label));
  return Label<Custom>(detail::makeNode<detail::SequenceNode<Custom>>(std::move(nodes)));
}

/// As above, from a braced list whose elements may be string literals:
/// `concatLabels({exact(), " ", percentage()})`. For a custom type, name it:
/// `concatLabels<MyType>({...})`.
template <class Custom = std::monostate>
Label<Custom> concatLabels(std::initializer_list<std::type_identity_t<Label<Custom>>> labels) {
  return ::System::ProgressBar::concatLabels(std::vector<Label<Custom>>(labels));
}

/// Concatenates a non-empty sequence: `first`, then each of `rest`. With no
/// further labels the result is `first` itself.
template <class Custom>
Label<Custom> sconcat(const Label<Custom>& first, std::vector<Label<Custom>> rest) {
  if (rest.empty()) return first;
  rest.insert(rest.begin(), first);
  return ::System::ProgressBar::concatLabels(rest);
}

/// A label whose text is `label`'s text `count` times over; running it runs
/// `label` exactly `count` times. `count` is any integer type but bool and
/// the character types. Throws `std::invalid_argument` when `count` is zero or
/// less.
template <class N, class Custom>
Label<Custom> stimes(N count, const Label<Custom>& label) {
  static_assert(detail::kRepeatCount<N>,
                "stimes: the count must be an integer, not bool or a character type");
  if constexpr (std::is_signed_v<N>) {
    if (count <= 0) detail::throwBadRepeatCount(static_cast<detail::Int128>(count));
  } else {
    if (count == 0) detail::throwBadRepeatCount(0);
  }
  if (count == 1) return label;
  return Label<Custom>(detail::makeNode<detail::RepeatNode<Custom>>(
      detail::nodeOf(label), static_cast<detail::UInt128>(count)));
}

PROGRESSBAR_EXTERN_TEMPLATE class Label<std::monostate>;
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> msg<std::monostate>(Text);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> message<std::monostate>();
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> fromString<std::monostate>(std::u32string_view);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> fromString<std::monostate>(std::string_view);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> emptyLabel<std::monostate>();
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> appendLabel<std::monostate>(
    const Label<std::monostate>&, const Label<std::monostate>&);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> concatLabels<std::monostate>(
    const std::vector<Label<std::monostate>>&);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> concatLabels<std::monostate>(
    std::initializer_list<Label<std::monostate>>);
PROGRESSBAR_EXTERN_TEMPLATE Label<std::monostate> sconcat<std::monostate>(
    const Label<std::monostate>&, std::vector<Label<std::monostate>>);

}  // namespace System::ProgressBar
