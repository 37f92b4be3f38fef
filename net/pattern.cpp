#include "net/pattern.h"

#include <cwchar>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <unordered_set>
#include <utility>

namespace {

using Code = std::vector<PatternInstruction>;

// Limits that keep any pattern text finite in time and memory while
// compiling. Real patterns are a few dozen instructions and nest a level or
// two; "x+" copies x, so nested "+" doubles the code at every level.
constexpr size_t kMaxInstructions = size_t{1} << 18;
constexpr int kMaxNesting = 200;

// The backtracking stack starts at this many entries.
constexpr size_t kInitialStackEntries = 256;

const wchar_t* const kBuiltinAbbreviations[] = {
    L"a([a-zA-Z0-9])",
    L"b([ \\t])",
    L"c([a-zA-Z])",
    L"d([0-9])",
    L"h([0-9a-fA-F])",
    L"n(\r|(\r?\n))",
    L"q(\"[^\"]*\")|('[^']*')",
    L"w([a-zA-Z]+)",
    L"z([0-9]+)",
    nullptr,
};

// Character codes are compared as unsigned numbers whatever the width and
// signedness of wchar_t.
inline uint32_t codeOf(wchar_t c) {
  return static_cast<uint32_t>(static_cast<std::make_unsigned<wchar_t>::type>(c));
}

// Only ASCII letters fold.
inline wchar_t foldAscii(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

inline bool isDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

inline bool isCloser(wchar_t c) { return c == L')' || c == L']' || c == L'}'; }

// Whether the operand of this kind is an instruction index, which moves
// when the code is placed after other code.
inline bool holdsIndex(PatternOp kind) {
  return kind == PatternOp::Call || kind == PatternOp::Jump || kind == PatternOp::CharSet ||
         kind == PatternOp::NotCharSet;
}

// A compiled piece of pattern. Index operands count from the piece's own
// first instruction.
struct Fragment {
  Code code;
  bool canBeEmpty = false;
};

// State shared by the pattern's parser and the parsers of the expansions of
// the abbreviations it uses.
struct CompileState {
  const wchar_t* const* abbreviations = nullptr;
  uint32_t groupCount = 0;
  uint32_t slotCount = 0;
  PatternError error = PatternError::Ok;
};

class Parser {
 public:
  Parser(const std::wstring& text, bool isPattern, CompileState& state)
      : text_(text), isPattern_(isPattern), state_(state) {}

  // The whole pattern: a sequence that a stray closer ends.
  bool parsePattern(Fragment& out, size_t start) {
    pos_ = start;
    return parseSequence(out, L'\0', 0);
  }

  // An abbreviation's expansion: one atom with its quantifier, no "|".
  bool parseExpansion(Fragment& out, int depth) {
    pos_ = 0;
    return parseQuantified(out, depth);
  }

 private:
  bool fail(PatternError error) {
    if (state_.error == PatternError::Ok) state_.error = error;
    return false;
  }

  bool atEnd() const { return pos_ >= text_.size(); }
  wchar_t peek() const { return text_[pos_]; }

  bool emit(Code& code, PatternOp kind, uint32_t operand = 0) {
    if (code.size() >= kMaxInstructions) return fail(PatternError::OutOfMemory);
    code.push_back(PatternInstruction{kind, operand});
    return true;
  }

  // Appends `piece` to `code`, moving its index operands.
  bool append(Code& code, const Code& piece) {
    if (piece.size() > kMaxInstructions - code.size()) return fail(PatternError::OutOfMemory);
    const size_t base = code.size();
    code.insert(code.end(), piece.begin(), piece.end());
    for (size_t i = base; i < code.size(); ++i) {
      if (holdsIndex(code[i].kind)) code[i].operand += static_cast<uint32_t>(base);
    }
    return true;
  }

  // Checks that `extra` instructions of fixed layout fit beside `body`
  // before any index arithmetic is done with them.
  bool fits(size_t bodySize, size_t extra) {
    if (bodySize > kMaxInstructions || extra > kMaxInstructions - bodySize)
      return fail(PatternError::OutOfMemory);
    return true;
  }

  uint32_t newSlot() { return state_.slotCount++; }

  // Items up to the closer; `closer` is L'\0' at the top level, where any
  // closer ends the pattern.
  bool parseSequence(Fragment& out, wchar_t closer, int depth) {
    out.code.clear();
    out.canBeEmpty = true;
    for (;;) {
      if (atEnd()) {
        if (closer == L'\0') return true;
        return fail(closer == L')' ? PatternError::MissingCloseParen
                                   : PatternError::MissingCloseBrace);
      }
      const wchar_t c = peek();
      if (isCloser(c)) {
        if (closer == L'\0') {
          pos_ = text_.size();  // the rest of the pattern is ignored
          return true;
        }
        if (c != closer)
          return fail(closer == L')' ? PatternError::MissingCloseParen
                                     : PatternError::MissingCloseBrace);
        ++pos_;
        return true;
      }
      Fragment item;
      if (!parseItem(item, depth)) return false;
      if (out.code.empty()) {
        out.code = std::move(item.code);
      } else if (!append(out.code, item.code)) {
        return false;
      }
      out.canBeEmpty = out.canBeEmpty && item.canBeEmpty;
    }
  }

  // One item and any "|" items after it. A chain binds to the right
  // ("a|b|c" is a|(b|c)); every level of
  //   SavePosition, Call → x, RestorePosition, Jump → y, x, Jump → end, y
  // ends where the whole chain ends, so the chain is laid out in one pass.
  bool parseItem(Fragment& out, int depth) {
    std::vector<Fragment> sides(1);
    if (!parseQuantified(sides.back(), depth)) return false;
    while (!atEnd() && peek() == L'|') {
      ++pos_;
      sides.emplace_back();
      if (!parseQuantified(sides.back(), depth)) return false;
    }
    if (sides.size() == 1) {
      out = std::move(sides.back());
      return true;
    }
    size_t total = 0;
    for (size_t i = 0; i < sides.size(); ++i) {
      const size_t extra = (i + 1 < sides.size()) ? 5 : 0;
      if (!fits(total, sides[i].code.size()) || !fits(total + sides[i].code.size(), extra))
        return false;
      total += sides[i].code.size() + extra;
    }
    Code& code = out.code;
    code.clear();
    code.reserve(total);
    out.canBeEmpty = false;
    for (size_t i = 0; i < sides.size(); ++i) {
      const Fragment& side = sides[i];
      out.canBeEmpty = out.canBeEmpty || side.canBeEmpty;
      if (i + 1 == sides.size()) return append(code, side.code);
      const uint32_t base = static_cast<uint32_t>(code.size());
      const uint32_t n = static_cast<uint32_t>(side.code.size());
      emit(code, PatternOp::SavePosition);
      emit(code, PatternOp::Call, base + 4);
      emit(code, PatternOp::RestorePosition);
      emit(code, PatternOp::Jump, base + 5 + n);
      if (!append(code, side.code)) return false;
      emit(code, PatternOp::Jump, static_cast<uint32_t>(total));
    }
    return true;
  }

  // An atom with its "!" prefixes and at most one quantifier.
  bool parseQuantified(Fragment& out, int depth) {
    size_t bangs = 0;
    while (!atEnd() && peek() == L'!') {
      ++bangs;
      ++pos_;
    }
    const uint32_t firstGroup = state_.groupCount;
    Fragment atom;
    if (!parseAtom(atom, depth)) return false;
    const uint32_t endGroup = state_.groupCount;
    if (bangs > 0) {
      Fragment wrapped;
      if (!buildNot(atom, bangs, firstGroup, endGroup, wrapped)) return false;
      atom = std::move(wrapped);
    }
    if (atEnd()) {
      out = std::move(atom);
      return true;
    }
    const wchar_t q = peek();
    if (q != L'*' && q != L'+' && q != L'?') {
      out = std::move(atom);
      return true;
    }
    ++pos_;
    bool lazy = false;
    if (!atEnd() && peek() == L'?') {
      lazy = true;
      ++pos_;
    }
    if (q != L'?' && atom.canBeEmpty) return fail(PatternError::EmptyRepeat);
    if (q == L'?') return lazy ? buildLazyOptional(atom, out) : buildGreedyLoop(atom, false, out);
    Fragment loop;
    if (!(lazy ? buildLazyLoop(atom, loop) : buildGreedyLoop(atom, true, loop))) return false;
    if (q == L'*') {
      out = std::move(loop);
      return true;
    }
    // x+ is x followed by x*; groups inside x keep their numbers in both.
    out.code = atom.code;
    if (!append(out.code, loop.code)) return false;
    out.canBeEmpty = lazy;  // "+?" items count as able to match nothing
    return true;
  }

  // "!" x, or "!!..!" x nested `levels` deep. The spans of the groups inside
  // x are saved first and put back on both exits: when x matches, its stack
  // entries are dropped wholesale and would otherwise leave the spans of a
  // path that was given up. One level is
  //   StorePosition m1, SaveGroup g.., StoreDepth m2, Call → X,
  //   LoadPosition m1, LoadDepth m2, RestoreGroup g.., Jump → end,
  //   X: x, LoadPosition m1, LoadDepth m2, RestoreGroup g.., Return
  // and nested levels are laid out in one pass: all heads, x, all tails.
  bool buildNot(const Fragment& x, size_t levels, uint32_t firstGroup, uint32_t endGroup,
                Fragment& out) {
    const size_t k = endGroup - firstGroup;
    const size_t head = 6 + 2 * k;
    const size_t tail = 3 + k;
    if (levels > kMaxInstructions / (head + tail)) return fail(PatternError::OutOfMemory);
    if (!fits(x.code.size(), levels * (head + tail))) return false;
    const size_t n = x.code.size();
    const uint32_t firstSlot = state_.slotCount;
    state_.slotCount += static_cast<uint32_t>(2 * levels);
    Code& code = out.code;
    code.clear();
    code.reserve(n + levels * (head + tail));
    for (size_t level = 0; level < levels; ++level) {
      const uint32_t m1 = firstSlot + static_cast<uint32_t>(2 * level);
      const uint32_t m2 = m1 + 1;
      const uint32_t body = static_cast<uint32_t>((level + 1) * head);
      const uint32_t end = static_cast<uint32_t>(levels * head + n + (levels - level) * tail);
      emit(code, PatternOp::StorePosition, m1);
      for (uint32_t g = firstGroup; g < endGroup; ++g) emit(code, PatternOp::SaveGroup, g);
      emit(code, PatternOp::StoreDepth, m2);
      emit(code, PatternOp::Call, body);
      emit(code, PatternOp::LoadPosition, m1);
      emit(code, PatternOp::LoadDepth, m2);
      for (uint32_t g = endGroup; g-- > firstGroup;) emit(code, PatternOp::RestoreGroup, g);
      emit(code, PatternOp::Jump, end);
    }
    if (!append(code, x.code)) return false;
    for (size_t level = levels; level-- > 0;) {
      const uint32_t m1 = firstSlot + static_cast<uint32_t>(2 * level);
      emit(code, PatternOp::LoadPosition, m1);
      emit(code, PatternOp::LoadDepth, m1 + 1);
      for (uint32_t g = endGroup; g-- > firstGroup;) emit(code, PatternOp::RestoreGroup, g);
      emit(code, PatternOp::Return);
    }
    out.canBeEmpty = false;
    return true;
  }

  // x* (repeat) or x? (!repeat):
  //   L: SaveSlot m, StorePosition m, SavePosition, Call → B, RestorePosition,
  //   RestoreSlot m, Jump → end, B: x, FailIfNoProgress m, StorePosition m,
  //   Jump → L (x* only)
  bool buildGreedyLoop(const Fragment& x, bool repeat, Fragment& out) {
    if (!fits(x.code.size(), 10)) return false;
    const uint32_t m = newSlot();
    const uint32_t n = static_cast<uint32_t>(x.code.size());
    const uint32_t end = 7 + n + (repeat ? 3 : 2);
    Code& code = out.code;
    emit(code, PatternOp::SaveSlot, m);
    emit(code, PatternOp::StorePosition, m);
    emit(code, PatternOp::SavePosition);
    emit(code, PatternOp::Call, 7);
    emit(code, PatternOp::RestorePosition);
    emit(code, PatternOp::RestoreSlot, m);
    emit(code, PatternOp::Jump, end);
    if (!append(code, x.code)) return false;
    emit(code, PatternOp::FailIfNoProgress, m);
    emit(code, PatternOp::StorePosition, m);
    if (repeat) emit(code, PatternOp::Jump, 0);
    out.canBeEmpty = true;
    return true;
  }

  // x*?. Going on without x comes first; when the rest fails, the position
  // of that try is put back before one more pass of x, and a pass that
  // consumes nothing fails, as in the greedy loop.
  //   L: SavePosition, Call → end, RestorePosition, SaveSlot m, StorePosition m,
  //   Call → B, RestoreSlot m, Return, B: x, FailIfNoProgress m, Jump → L
  bool buildLazyLoop(const Fragment& x, Fragment& out) {
    if (!fits(x.code.size(), 10)) return false;
    const uint32_t m = newSlot();
    const uint32_t n = static_cast<uint32_t>(x.code.size());
    Code& code = out.code;
    emit(code, PatternOp::SavePosition);
    emit(code, PatternOp::Call, 10 + n);
    emit(code, PatternOp::RestorePosition);
    emit(code, PatternOp::SaveSlot, m);
    emit(code, PatternOp::StorePosition, m);
    emit(code, PatternOp::Call, 8);
    emit(code, PatternOp::RestoreSlot, m);
    emit(code, PatternOp::Return);
    if (!append(code, x.code)) return false;
    emit(code, PatternOp::FailIfNoProgress, m);
    emit(code, PatternOp::Jump, 0);
    out.canBeEmpty = true;
    return true;
  }

  // x??: SavePosition, Call → end, RestorePosition, x
  bool buildLazyOptional(const Fragment& x, Fragment& out) {
    if (!fits(x.code.size(), 3)) return false;
    const uint32_t n = static_cast<uint32_t>(x.code.size());
    Code& code = out.code;
    emit(code, PatternOp::SavePosition);
    emit(code, PatternOp::Call, 3 + n);
    emit(code, PatternOp::RestorePosition);
    if (!append(code, x.code)) return false;
    out.canBeEmpty = true;
    return true;
  }

  bool parseAtom(Fragment& out, int depth) {
    out.code.clear();
    out.canBeEmpty = false;
    if (atEnd() || isCloser(peek())) {
      // Nothing where an item was expected ("a|", "!" at the end): an
      // empty item.
      out.canBeEmpty = true;
      return emit(out.code, PatternOp::Nop);
    }
    const wchar_t c = peek();
    switch (c) {
      case L'.':
        ++pos_;
        return emit(out.code, PatternOp::AnyChar);
      case L'[':
        return parseClass(out);
      case L'(':
      case L'{':
        return parseGroup(out, depth);
      case L'\\':
        return parseEscape(out, depth);
      case L'$':
        ++pos_;
        // Only the pattern's own last character is the end anchor.
        return emit(out.code, PatternOp::Char,
                    (isPattern_ && pos_ == text_.size()) ? 0 : codeOf(c));
      default:
        ++pos_;
        return emit(out.code, PatternOp::Char, codeOf(c));
    }
  }

  // "(" x ")": Call → x, Return, x
  // "{" x "}": SaveGroup g, OpenGroup g, Call → x, RestoreGroup g, Return, x,
  //            CloseGroup g
  bool parseGroup(Fragment& out, int depth) {
    if (depth >= kMaxNesting) return fail(PatternError::OutOfMemory);
    const bool capture = peek() == L'{';
    ++pos_;
    const uint32_t group = state_.groupCount;
    if (capture) ++state_.groupCount;
    Fragment body;
    if (!parseSequence(body, capture ? L'}' : L')', depth + 1)) return false;
    if (body.code.empty() && !emit(body.code, PatternOp::Nop)) return false;
    if (!fits(body.code.size(), 6)) return false;
    Code& code = out.code;
    if (capture) {
      emit(code, PatternOp::SaveGroup, group);
      emit(code, PatternOp::OpenGroup, group);
      emit(code, PatternOp::Call, 5);
      emit(code, PatternOp::RestoreGroup, group);
    } else {
      emit(code, PatternOp::Call, 2);
    }
    emit(code, PatternOp::Return);
    if (!append(code, body.code)) return false;
    if (capture) emit(code, PatternOp::CloseGroup, group);
    out.canBeEmpty = body.canBeEmpty;
    return true;
  }

  bool parseEscape(Fragment& out, int depth) {
    ++pos_;
    if (atEnd()) {
      // A lone backslash at the end stands for itself.
      return emit(out.code, PatternOp::Char, codeOf(L'\\'));
    }
    const wchar_t c = peek();
    if (isDigit(c)) {
      uint32_t group = 0;
      bool huge = false;
      while (!atEnd() && isDigit(peek())) {
        const uint32_t digit = static_cast<uint32_t>(peek() - L'0');
        if (group > (UINT32_MAX - digit) / 10) huge = true;
        if (!huge) group = group * 10 + digit;
        ++pos_;
      }
      if (huge || group >= state_.groupCount) return fail(PatternError::UnknownGroup);
      return emit(out.code, PatternOp::BackReference, group);
    }
    ++pos_;
    for (const wchar_t* const* row = state_.abbreviations; *row != nullptr; ++row) {
      if ((*row)[0] == L'\0' || (*row)[0] != c) continue;
      if (depth >= kMaxNesting) return fail(PatternError::OutOfMemory);
      const std::wstring expansion((*row) + 1);
      Parser sub(expansion, false, state_);
      if (!sub.parseExpansion(out, depth + 1)) {
        if (state_.error != PatternError::OutOfMemory) state_.error = PatternError::BadAbbreviation;
        return false;
      }
      return true;
    }
    return emit(out.code, PatternOp::Char, codeOf(c));
  }

  // One class element: a character, or a backslash and a character (TAB
  // for "t"). False at the end of the text.
  bool classElement(uint32_t& value) {
    if (atEnd()) return false;
    wchar_t c = peek();
    ++pos_;
    if (c == L'\\') {
      if (atEnd()) return false;
      c = peek();
      ++pos_;
      if (c == L't') c = L'\t';
    }
    value = codeOf(c);
    return true;
  }

  // CharSet/NotCharSet → after the pairs, then a (low, high) pair of Nop
  // instructions per element.
  bool parseClass(Fragment& out) {
    ++pos_;
    bool negated = false;
    if (!atEnd() && peek() == L'^') {
      negated = true;
      ++pos_;
    }
    if (atEnd()) return fail(PatternError::MissingCloseBracket);
    if (peek() == L']') return fail(PatternError::EmptyClass);
    Code& code = out.code;
    if (!emit(code, negated ? PatternOp::NotCharSet : PatternOp::CharSet)) return false;
    for (;;) {
      if (atEnd()) return fail(PatternError::MissingCloseBracket);
      if (peek() == L']') {
        ++pos_;
        break;
      }
      uint32_t low = 0;
      if (!classElement(low)) return fail(PatternError::MissingCloseBracket);
      uint32_t high = low;
      if (!atEnd() && peek() == L'-') {
        ++pos_;
        if (atEnd() || peek() == L']') return fail(PatternError::MissingCloseBracket);
        if (!classElement(high)) return fail(PatternError::MissingCloseBracket);
        if (high < low) return fail(PatternError::ReversedRange);
      }
      if (!emit(code, PatternOp::Nop, low) || !emit(code, PatternOp::Nop, high)) return false;
    }
    code[0].operand = static_cast<uint32_t>(code.size());
    return true;
  }

  const std::wstring& text_;
  const bool isPattern_;
  CompileState& state_;
  size_t pos_ = 0;
};

// The matching machine over one subject of known length.
class Machine {
 public:
  Machine(const std::vector<PatternInstruction>& code, const wchar_t* subject, size_t length,
          bool caseSensitive, uint32_t firstChar, MatchContext& context)
      : code_(code.data()),
        codeSize_(code.size()),
        subject_(subject),
        length_(length),
        caseSensitive_(caseSensitive),
        firstChar_(firstChar),
        context_(context) {}

  bool run(size_t from, size_t& end);

 private:
  // The character at `pos` as matched: folded unless case-sensitive; 0 at
  // and beyond the end of the text.
  uint32_t at(size_t pos) const {
    if (pos >= length_) return 0;
    const wchar_t c = subject_[pos];
    return codeOf(caseSensitive_ ? c : foldAscii(c));
  }

  bool push(size_t value) {
    if (depth_ == capacity_ && !grow()) return false;
    stack_[depth_++] = value;
    return true;
  }

  // A push beyond the stack's size grows it to twice the depth plus 4
  // entries, up to the context's limit; beyond that the growth fails.
  bool grow() {
    const size_t limit = context_.stackLimit;
    if (depth_ >= limit) return false;
    size_t size = 2 * depth_ + 4;
    if (size > limit || size < depth_) size = limit;
    context_.stack.resize(size);
    stack_ = context_.stack.data();
    capacity_ = context_.stack.size();
    return true;
  }

  bool backReferenceMatches(uint32_t group, size_t& pos) const;

  // The first start at or after `start`, before the end of the text, where
  // a match can begin; the end of the text when there is none.
  size_t nextStart(size_t start) const {
    if (firstChar_ == 0) return start;
    while (start < length_ && at(start) != firstChar_) ++start;
    return start;
  }

  const PatternInstruction* code_;
  size_t codeSize_;
  const wchar_t* subject_;
  size_t length_;
  bool caseSensitive_;
  uint32_t firstChar_;
  MatchContext& context_;
  size_t* stack_ = nullptr;
  size_t depth_ = 0;
  size_t capacity_ = 0;
};

bool Machine::backReferenceMatches(uint32_t group, size_t& pos) const {
  const GroupSpan span = context_.groups[group];
  // A group without a complete capture (none yet, or reopened in a later
  // pass) matches the empty text.
  if (span.start == kNoPosition || span.end == kNoPosition || span.end <= span.start) return true;
  const size_t start = span.start < length_ ? span.start : length_;
  const size_t stop = span.end < length_ ? span.end : length_;
  const size_t count = stop - start;
  if (pos > length_ || count > length_ - pos) return false;
  for (size_t i = 0; i < count; ++i) {
    if (foldAscii(subject_[start + i]) != foldAscii(subject_[pos + i])) return false;
  }
  pos += count;
  return true;
}

bool Machine::run(size_t from, size_t& end) {
  MatchContext& ctx = context_;
  if (ctx.stack.size() < kInitialStackEntries) ctx.stack.resize(kInitialStackEntries);
  stack_ = ctx.stack.data();
  capacity_ = ctx.stack.size();
  depth_ = 0;
  size_t* const slots = ctx.slots.data();
  GroupSpan* const groups = ctx.groups.data();
  uint64_t budget = ctx.stepBudget;

  size_t pc = 0;
  size_t start = nextStart(from);
  size_t pos = start;
  bool matched = false;
  if (firstChar_ != 0 && start >= length_) goto done;
  for (;;) {
    if (budget-- == 0) {
      budget = 0;
      break;
    }
    if (pc >= codeSize_) break;  // cannot happen with compiled code
    const PatternInstruction in = code_[pc];
    bool ok = true;
    switch (in.kind) {
      case PatternOp::Nop:
        ++pc;
        break;
      case PatternOp::OpenGroup:
        groups[in.operand].start = pos;
        ++pc;
        break;
      case PatternOp::CloseGroup:
        groups[in.operand].end = pos;
        ++pc;
        break;
      case PatternOp::Char:
        if (at(pos) == in.operand) {
          ++pos;
          ++pc;
        } else {
          ok = false;
        }
        break;
      case PatternOp::AnyChar:
        if (pos < length_) {
          ++pos;
          ++pc;
        } else {
          ok = false;
        }
        break;
      case PatternOp::CharSet:
      case PatternOp::NotCharSet: {
        if (pos >= length_) {
          ok = false;
          break;
        }
        const uint32_t c = at(pos);
        bool inSet = false;
        for (size_t i = pc + 1; i + 1 < in.operand; i += 2) {
          if (c >= code_[i].operand && c <= code_[i + 1].operand) {
            inSet = true;
            break;
          }
        }
        if (inSet == (in.kind == PatternOp::CharSet)) {
          ++pos;
          pc = in.operand;
        } else {
          ok = false;
        }
        break;
      }
      case PatternOp::Jump:
        pc = in.operand;
        break;
      case PatternOp::SavePosition:
        if (!push(pos)) goto done;
        ++pc;
        break;
      case PatternOp::RestorePosition:
        if (depth_ == 0) goto done;
        pos = stack_[--depth_];
        ++pc;
        break;
      case PatternOp::Call:
        if (!push(pc + 1)) goto done;
        pc = in.operand;
        break;
      case PatternOp::Return:
        ok = false;
        break;
      case PatternOp::SaveSlot:
        if (!push(slots[in.operand])) goto done;
        ++pc;
        break;
      case PatternOp::RestoreSlot:
        if (depth_ == 0) goto done;
        slots[in.operand] = stack_[--depth_];
        ++pc;
        break;
      case PatternOp::StorePosition:
        slots[in.operand] = pos;
        ++pc;
        break;
      case PatternOp::StoreDepth:
        slots[in.operand] = depth_;
        ++pc;
        break;
      case PatternOp::LoadPosition:
        pos = slots[in.operand];
        ++pc;
        break;
      case PatternOp::LoadDepth:
        if (slots[in.operand] > depth_) goto done;
        depth_ = slots[in.operand];
        ++pc;
        break;
      case PatternOp::FailIfNoProgress:
        if (slots[in.operand] == pos) {
          ok = false;
        } else {
          ++pc;
        }
        break;
      case PatternOp::BackReference:
        if (backReferenceMatches(in.operand, pos)) {
          ++pc;
        } else {
          ok = false;
        }
        break;
      case PatternOp::Fail:
        goto done;
      case PatternOp::Advance:
        // A fresh attempt one character after the failed one.
        if (start + 1 >= length_) goto done;
        start = nextStart(start + 1);
        if (start >= length_) goto done;
        pos = start;
        depth_ = 0;
        pc = 0;
        break;
      case PatternOp::Accept:
        matched = true;
        goto done;
      case PatternOp::SaveGroup:
        if (!push(groups[in.operand].start) || !push(groups[in.operand].end)) goto done;
        ++pc;
        break;
      case PatternOp::RestoreGroup:
        if (depth_ < 2) goto done;
        groups[in.operand].end = stack_[--depth_];
        groups[in.operand].start = stack_[--depth_];
        ++pc;
        break;
    }
    if (!ok) {
      // The top entry is always an instruction index here.
      if (depth_ == 0) break;
      pc = stack_[--depth_];
    }
  }
done:
  ctx.stepBudget = budget;
  ctx.depth = depth_;
  if (!matched) return false;
  // "$" steps over the terminating NUL; report positions within the text.
  const auto clamp = [this](size_t p) { return p > length_ ? length_ : p; };
  ctx.matchStart = clamp(start);
  ctx.matchEnd = clamp(pos);
  for (size_t g = 0; g < ctx.groups.size(); ++g) {
    if (groups[g].start != kNoPosition) groups[g].start = clamp(groups[g].start);
    if (groups[g].end != kNoPosition) groups[g].end = clamp(groups[g].end);
  }
  end = ctx.matchEnd;
  return true;
}

// The character that the code from index 2 must match before anything else
// can happen, or 0. Group entries are followed into their bodies: what they
// push is undone when the first character fails.
uint32_t requiredFirstChar(const Code& code) {
  size_t pc = 2;
  for (size_t steps = 0; pc < code.size() && steps < code.size(); ++steps) {
    const PatternInstruction& in = code[pc];
    switch (in.kind) {
      case PatternOp::Nop:
      case PatternOp::SaveGroup:
      case PatternOp::OpenGroup:
        ++pc;
        break;
      case PatternOp::Call: {
        // Only a group's entry, whose way back just restores and fails.
        size_t back = pc + 1;
        while (back < code.size() && code[back].kind == PatternOp::RestoreGroup) ++back;
        if (back >= code.size() || code[back].kind != PatternOp::Return) return 0;
        pc = in.operand;
        break;
      }
      case PatternOp::Char:
        return in.operand;
      default:
        return 0;
    }
  }
  return 0;
}

bool equalFolded(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (foldAscii(a[i]) != foldAscii(b[i])) return false;
  }
  return true;
}

struct FoldedHash {
  size_t operator()(const std::wstring& s) const {
    size_t h = static_cast<size_t>(1469598103934665603ull);
    for (wchar_t c : s) h = (h ^ codeOf(foldAscii(c))) * static_cast<size_t>(1099511628211ull);
    return h;
  }
};

struct FoldedEqual {
  bool operator()(const std::wstring& a, const std::wstring& b) const { return equalFolded(a, b); }
};

bool search(const wchar_t* patternText, const wchar_t* subject, std::vector<std::wstring>& results,
            uint64_t stepBudget) {
  results.clear();
  if (patternText == nullptr || *patternText == L'\0') return false;
  if (subject == nullptr || *subject == L'\0') return false;
  try {
    Pattern pattern;
    if (pattern.parse(patternText) != PatternError::Ok) return false;
    const std::wstring copy(subject);
    const size_t length = copy.size();
    MatchContext context;
    context.stack.resize(kInitialStackEntries);
    context.stepBudget = stepBudget;
    std::unordered_set<std::wstring, FoldedHash, FoldedEqual> seen;
    size_t position = 0;
    for (;;) {
      size_t end = 0;
      if (!pattern.match(copy.c_str(), length, position, context, end)) break;
      if (pattern.groupCount() > 0) {
        const GroupSpan span = context.groups[0];
        if (span.start != kNoPosition && span.end != kNoPosition && span.end >= span.start) {
          std::wstring candidate = copy.substr(span.start, span.end - span.start);
          if (seen.insert(candidate).second) results.push_back(std::move(candidate));
        }
      }
      // An empty match at the search position would be found again and
      // again; step over one character instead.
      if (end <= position) end = position + 1;
      if (end >= length) break;
      position = end;
    }
    return true;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  results.clear();
  return false;
}

}  // namespace

const wchar_t* const* Pattern::builtinAbbreviations() { return kBuiltinAbbreviations; }

PatternError Pattern::parse(const wchar_t* text, bool caseSensitive,
                            const wchar_t* const* abbreviations) {
  code_.clear();
  groupCount_ = 0;
  slotCount_ = 0;
  firstChar_ = 0;
  caseSensitive_ = caseSensitive;
  if (text == nullptr) return error_ = PatternError::NullPattern;
  try {
    std::wstring folded(text);
    if (!caseSensitive) {
      for (wchar_t& c : folded) c = foldAscii(c);
    }
    CompileState state;
    state.abbreviations = abbreviations != nullptr ? abbreviations : kBuiltinAbbreviations;
    const bool anchored = !folded.empty() && folded[0] == L'^';
    Parser parser(folded, true, state);
    Fragment body;
    if (!parser.parsePattern(body, anchored ? 1 : 0)) {
      code_.clear();
      return error_ = state.error;
    }
    if (body.code.size() > kMaxInstructions) return error_ = PatternError::OutOfMemory;
    Code code;
    code.reserve(body.code.size() + 3);
    code.push_back(PatternInstruction{PatternOp::Call, 2});
    code.push_back(PatternInstruction{anchored ? PatternOp::Fail : PatternOp::Advance, 0});
    for (PatternInstruction instruction : body.code) {
      if (holdsIndex(instruction.kind)) instruction.operand += 2;
      code.push_back(instruction);
    }
    code.push_back(PatternInstruction{PatternOp::Accept, 0});
    code_ = std::move(code);
    firstChar_ = anchored ? 0 : requiredFirstChar(code_);
    groupCount_ = state.groupCount;
    slotCount_ = state.slotCount;
    return error_ = PatternError::Ok;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  code_.clear();
  groupCount_ = 0;
  slotCount_ = 0;
  return error_ = PatternError::OutOfMemory;
}

bool Pattern::match(const wchar_t* subject, size_t from, MatchContext& context, size_t& end) const {
  if (subject == nullptr) return false;
  return match(subject, std::wcslen(subject), from, context, end);
}

bool Pattern::match(const wchar_t* subject, size_t length, size_t from, MatchContext& context,
                    size_t& end) const {
  if (error_ != PatternError::Ok || code_.empty() || subject == nullptr || from > length)
    return false;
  try {
    context.groupCount = groupCount_;
    context.matchStart = from;
    context.matchEnd = from;
    context.slots.assign(slotCount_, 0);
    context.groups.assign(groupCount_, GroupSpan{});
    context.depth = 0;
    Machine machine(code_, subject, length, caseSensitive_, firstChar_, context);
    return machine.run(from, end);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return false;
}

bool findAllMatches(const wchar_t* pattern, const wchar_t* subject,
                    std::vector<std::wstring>& results) {
  return search(pattern, subject, results, UINT64_MAX);
}

bool findAllMatchesBounded(const wchar_t* pattern, const wchar_t* subject,
                           std::vector<std::wstring>& results, uint64_t stepBudget) {
  return search(pattern, subject, results, stepBudget);
}
