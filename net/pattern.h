// The header pattern matcher: a small regular-expression engine that always
// ignores letter case (ASCII only), marks captured text with braces and knows
// a fixed table of backslash abbreviations.
//
// A pattern is compiled into a flat instruction list that match() interprets
// with one explicit backtracking stack, so matching never recurses and the
// first match found is the leftmost one, first in backtracking order (not
// the longest). Nothing here throws; failures are result values.
//
// Dialect in short:
//   c        the character itself (folded to lower case)
//   .        any one character, never the end of the text
//   [..]     one character in the set; elements are characters, "\x"
//            (x literally, "\t" is TAB) and ranges "a-z"; "[^..]" negates;
//            a "-" right after "[" or "[^" is a plain element
//   (..)     grouping;  {..}  capture group, numbered from 0 by its "{"
//   x* x+ x? greedy;  x*? x+? x?? lazy
//   x|y      alternation of two single items (not sequences)
//   !x       succeeds without consuming when x does not match here
//   \12      back-reference to group 12, compared ignoring case
//   \a \b \c \d \h \n \q \w \z   abbreviations (letter or digit, blank or
//            tab, letter, digit, hex digit, line end, double-quoted string,
//            run of letters, run of digits); any other "\x" is x literally
//   ^        as the first character: anchored at the search position
//   $        as the last character: the end of the text
// At the top level ")", "]" or "}" ends the pattern; the rest is ignored.
// A pass of a loop, greedy or lazy, that consumes nothing fails, and "*",
// "+", "*?" or "+?" on an item that can obviously match nothing is refused,
// so no match runs forever.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Result of Pattern::parse. The values are fixed.
enum class PatternError : int32_t {
  Ok = 0,
  OutOfMemory = 1,  // allocation failed, or the pattern is nested too deeply
                    // or compiles to too many instructions
  MissingCloseBrace = 2,
  MissingCloseParen = 3,
  MissingCloseBracket = 4,  // also a range "-" with nothing or "]" after it
  BadAbbreviation = 5,      // an abbreviation's expansion does not compile
  EmptyClass = 6,           // "[]" or "[^]"
  UnknownGroup = 7,         // back-reference to a group not opened yet
  ReversedRange = 8,
  EmptyRepeat = 9,  // "*", "+", "*?" or "+?" on an item that can match nothing
  NullPattern = 10,
};

// Instruction kinds of a compiled pattern.
enum class PatternOp : uint8_t {
  Nop,
  OpenGroup,         // group start = position
  CloseGroup,        // group end = position
  Char,              // operand: character code; 0 matches the terminating NUL
  AnyChar,           // any character but the end of the text
  CharSet,           // operand: index after its pairs; each pair is two Nop
                     // instructions holding the low and high character
  NotCharSet,        // the same, negated; fails at the end of the text too
  Jump,              // operand: instruction index
  SavePosition,      // push position
  RestorePosition,   // pop position
  Call,              // push index of the next instruction, go to operand
  Return,            // same as a failure
  SaveSlot,          // push slot value
  RestoreSlot,       // pop slot value
  StorePosition,     // slot = position
  StoreDepth,        // slot = stack depth
  LoadPosition,      // position = slot
  LoadDepth,         // stack depth = slot
  FailIfNoProgress,  // fail when slot == position
  BackReference,     // operand: group number
  Fail,              // no match at all
  Advance,           // retry one character after the failed attempt's start
  Accept,            // match found
  SaveGroup,         // push the group's start and end
  RestoreGroup,      // pop the group's end and start
};

struct PatternInstruction {
  PatternOp kind;
  uint32_t operand;
};

// A position that is not set.
constexpr size_t kNoPosition = static_cast<size_t>(-1);

// Start and end of a capture group; either may be kNoPosition.
struct GroupSpan {
  size_t start = kNoPosition;
  size_t end = kNoPosition;
};

// The state of one match. match() sizes and clears everything except the
// stack's storage, which it reuses and grows as needed.
struct MatchContext {
  size_t groupCount = 0;
  size_t matchStart = 0;  // offsets into the caller's subject
  size_t matchEnd = 0;
  std::vector<size_t> slots;      // positions or stack depths
  std::vector<GroupSpan> groups;  // one span per capture group
  std::vector<size_t> stack;      // backtracking stack storage
  size_t depth = 0;               // entries in use
  // Entries that the stack may grow to. A push that needs more ends the
  // match without a match, as a failed allocation does.
  size_t stackLimit = size_t{1} << 24;
  // Instructions that matching may still run, counted down across matches;
  // a match that spends it ends without a match. The product leaves it
  // unlimited; it keeps fuzzing of patterns that backtrack exponentially
  // finite.
  uint64_t stepBudget = UINT64_MAX;
};

class Pattern {
 public:
  // The rows of the built-in abbreviation table, each a key letter followed
  // by its expansion, ending with nullptr.
  static const wchar_t* const* builtinAbbreviations();

  // Compiles `text` (folded to lower case first unless `caseSensitive`).
  // nullptr is NullPattern. On any error the pattern is unusable until the
  // next successful parse. `abbreviations` replaces the built-in table
  // (nullptr: built-in); only checks of the table handling pass one.
  PatternError parse(const wchar_t* text, bool caseSensitive = false,
                     const wchar_t* const* abbreviations = nullptr);

  // Searches the NUL-terminated `subject` from offset `from` onwards. On a
  // match returns true, fills `context` (match start, end and group spans as
  // offsets into `subject`, never beyond its terminating NUL) and sets `end`.
  // Returns false for no match, a pattern that did not compile, a null
  // subject, `from` beyond the end, a failed allocation or a spent budget.
  bool match(const wchar_t* subject, size_t from, MatchContext& context, size_t& end) const;

  // The same with the subject's length known (subject[length] is NUL).
  bool match(const wchar_t* subject, size_t length, size_t from, MatchContext& context,
             size_t& end) const;

  PatternError lastError() const { return error_; }
  size_t groupCount() const { return groupCount_; }
  size_t slotCount() const { return slotCount_; }
  bool caseSensitive() const { return caseSensitive_; }
  const std::vector<PatternInstruction>& instructions() const { return code_; }

 private:
  PatternError error_ = PatternError::NullPattern;
  std::vector<PatternInstruction> code_;
  size_t groupCount_ = 0;
  size_t slotCount_ = 0;
  bool caseSensitive_ = false;
  // The character every match must begin with, when the pattern is not
  // anchored and starts with one; 0 when there is none. Attempts at other
  // positions would fail at once, so the search skips them.
  uint32_t firstChar_ = 0;
};

// Runs `pattern` over the whole `subject` and fills `results` with the
// distinct texts (compared ignoring case, kept in the subject's own case, in
// order of first appearance) captured by group 0. Each search continues at
// the end of the previous match, or one character later after an empty one,
// so every pattern ends. A null pointer counts as an empty text.
// Returns false, with `results` empty, for an empty pattern or subject, a
// pattern that does not compile, or a failed allocation; true otherwise,
// whether or not anything matched.
bool findAllMatches(const wchar_t* pattern, const wchar_t* subject,
                    std::vector<std::wstring>& results);

// findAllMatches with a limit on the instructions run over the whole search;
// when it is spent the search stops and keeps what it found. For fuzzing.
bool findAllMatchesBounded(const wchar_t* pattern, const wchar_t* subject,
                           std::vector<std::wstring>& results, uint64_t stepBudget);
