#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "program/fileparser.h"
#include "common/testsupport.h"

namespace {

// A parser with variables #0..#999, as the interpreter will have: #1 is
// set by the test, every other variable holds its own number.
struct VarParser : FileParser {
  using FileParser::FileParser;
  double v1 = 0;
  int rewinds = 0;

  double ReadVariable() override { return VariableValue(ParseVariableRef()); }
  double VariableValue(int32_t n) override {
    if (n < 0 || n > 999) ThrowError(ERR_INDEX_RANGE);
    return n == 1 ? v1 : n;
  }
  bool IsAxisSupported(char letter) const override { return letter != 'B'; }  // a machine without B
  void OnRewind() override { rewinds++; }
};

using testsupport::CodeOf;

enum Reader { LETTER, NAME, STRING, REAL, INT, SIGNED, EXPR, COND, SKIP };

// Runs one reader at the cursor; returns the code it throws, 0 when none.
int32_t Read(VarParser& p, Reader r, double* value = nullptr, std::string* text = nullptr) {
  std::string s;
  Condition c;
  return CodeOf([&] {
    double v = 0;
    switch (r) {
      case LETTER: v = p.GetLetter(); break;
      case NAME: p.GetName(text ? *text : s); break;
      case STRING: p.GetString(text ? *text : s); break;
      case REAL: v = p.ReadReal(); break;
      case INT: v = p.ReadInt(); break;
      case SIGNED: v = p.ReadSignedInt(); break;
      case EXPR: v = p.Expression(); break;
      case COND: p.CompileCondition(c); break;
      case SKIP: p.SkipSpaceAndComments(); break;
    }
    if (value) *value = v;
  });
}

TEST(FileParserReaders, Values) {
  const struct { Reader reader; std::string text; double value; } cases[] = {
      {REAL, "-.5", -0.5}, {REAL, "1.23456789", 1.23456789}, {REAL, "+12.5", 12.5}, {REAL, ".", 0},
      {SIGNED, "-42 ", -42}, {LETTER, "#1", '#'}, {REAL, "1e3", 1},  // no exponents
      {EXPR, "2+3*4^2", 146}, {EXPR, "-2^2", -4}, {EXPR, "5&3", 1}, {EXPR, "5|2", 7}, {EXPR, "1+5|2", 6 | 2},
      {EXPR, "10-2-3", 5}, {EXPR, "12/2*3", 18}, {EXPR, "(2+3)*4", 20}, {EXPR, "2 +3", 2},  // a blank ends it
      {EXPR, "ROUND(2.5)", 3}, {EXPR, "ROUND(-2.5)", -2}, {EXPR, "ABS(-3)", 3}, {EXPR, "SQRT(16)+1", 5},
      {EXPR, "SIN(90)", std::sin(90.0)}, {EXPR, "ATAN(1)*4", std::numbers::pi}, {EXPR, "LOG(EXP(2))", 2},
      // Pn is #(56+n), a letter L is #(30+L-'A'); SINX is no function but the variable S.
      {EXPR, "#[2*5]", 10}, {EXPR, "#7", 7}, {EXPR, "P3", 59}, {EXPR, "P[1]", 57}, {EXPR, "P", 45}, {EXPR, "SINX", 48},
      {EXPR, std::string(20, '(') + "1" + std::string(20, ')'), 1},
  };
  for (const auto& c : cases) {
    VarParser p(c.text);
    double v = -1;
    EXPECT_EQ(Read(p, c.reader, &v), 0) << c.text;
    EXPECT_DOUBLE_EQ(v, c.value) << c.text;
  }
}

// The code every reader raises for malformed input, and where it was found
// (column -1: not checked).
TEST(FileParserReaders, Errors) {
  const struct { Reader reader; std::string text; int32_t error; int column = -1; } cases[] = {
      {REAL, "1.2.3", ERR_NO_DECIMAL, 3}, {INT, "-5", ERR_NO_NEGATIVE}, {SIGNED, "5.5", ERR_NO_DECIMAL},
      {REAL, "-", ERR_NUMBER_EXPECTED}, {INT, "99999999999", ERR_NUMBER_RANGE}, {LETTER, "x10", ERR_UNEXPECTED_CHAR},
      {LETTER, "5", ERR_UNEXPECTED_NUMBER}, {LETTER, "-1", ERR_UNEXPECTED_NUMBER}, {STRING, "abc", ERR_QUOTE_EXPECTED},
      {LETTER, "+1", ERR_UNEXPECTED_NUMBER}, {LETTER, ".5", ERR_UNEXPECTED_NUMBER}, {STRING, "\"a", ERR_QUOTE_EXPECTED},
      {NAME, "1abc", ERR_UNEXPECTED_NUMBER}, {STRING, "\"a\\tb\"", ERR_UNEXPECTED_CHAR, 3},  // one past the backslash
      {SKIP, "(never closed\n", ERR_MISSING_BRACKET}, {EXPR, " 10", ERR_NUMBER_EXPECTED, 0},  // no blank after a letter
      {EXPR, "2*-3", ERR_NUMBER_EXPECTED}, {EXPR, "7/0", ERR_DIVISION_BY_ZERO}, {EXPR, "|2", ERR_NUMBER_EXPECTED},
      {EXPR, "(1+2", ERR_MISSING_BRACKET}, {EXPR, "", ERR_NUMBER_EXPECTED}, {EXPR, "ABS(1", ERR_MISSING_BRACKET},
      {EXPR, "#[1000]", ERR_INDEX_RANGE}, {EXPR, "#[-1]", ERR_INDEX_RANGE}, {EXPR, "#[5", ERR_MISSING_BRACKET},
      {EXPR, "P10", ERR_INDEX_RANGE}, {EXPR, "E", ERR_INVALID_VARIABLE}, {EXPR, "N", ERR_INVALID_VARIABLE},
      {EXPR, "#X", ERR_INVALID_VARIABLE}, {EXPR, "B", ERR_AXIS_NOT_SUPPORTED},
      {EXPR, std::string(5000, '(') + "1", ERR_FORMULA_TOO_COMPLEX}, {COND, "#I3=2", ERR_INPUT_CONDITION},
      {COND, "#I3", ERR_INPUT_CONDITION}, {COND, "#Ix=1", ERR_INPUT_CONDITION}, {COND, "#O1=-1", ERR_INPUT_CONDITION},
      {COND, "#1!2", ERR_COMPARISON_EXPECTED}, {COND, "(#1=2", ERR_MISSING_BRACKET},
      {COND, "E=1", ERR_INVALID_VARIABLE}, {COND, std::string(1000, '(') + "#1=1", ERR_FORMULA_TOO_COMPLEX},
      {COND, "#1==2", ERR_NUMBER_EXPECTED},  // "=" is the operator; "=2" is no expression
  };
  for (const auto& c : cases) {
    VarParser p(c.text);
    EXPECT_EQ(Read(p, c.reader), c.error) << c.text.substr(0, 20);
    EXPECT_EQ(c.column < 0 ? -1 : p.errorColumn, c.column) << c.text.substr(0, 20);
  }
  FileParser plain("#1");  // a plain parser knows no variables
  EXPECT_EQ(CodeOf([&] { plain.Expression(); }), ERR_NUMBER_EXPECTED);
}

// What a reader leaves: the text read, the next character, the line and
// token column (-1: not checked). Comments do not nest but may run over the
// line end; every byte up to 32 and from 128 up is white space.
TEST(FileParserTokens, NamesStringsAndComments) {
  const struct { Reader reader; std::string text, read; char next; int32_t line, column; } cases[] = {
      {NAME, "Tool_1.a-b+c rest", "Tool_1.a-b+c", ' ', 1, -1}, {STRING, "\"a\\nb\" X", "a\nb", ' ', 1, -1},
      {SKIP, "(a (b) c) X1", "", 'c', 1, 7}, {SKIP, "\x80\xff\x01\t G1", "", 'G', 1, 5},
      {SKIP, "(start\n)X5\nY1", "", 'X', 2, 1}};
  for (const auto& c : cases) {
    VarParser p(c.text);
    std::string read;
    EXPECT_EQ(Read(p, c.reader, nullptr, &read), 0) << c.text;
    EXPECT_EQ(read, c.read) << c.text;
    EXPECT_EQ(p.PeekChar(), c.next) << c.text;
    EXPECT_EQ(p.lineNumber, c.line) << c.text;
    EXPECT_EQ(c.column < 0 ? -1 : p.tokenColumn, c.column) << c.text;
  }
}

// The first error of a line is kept against a later range error, not against
// any other; the report names the token's line and column. (Lines counted
// within a called file are the interpreter tests' business.)
TEST(FileParserErrors, LinesAndTheFirstErrorOfALine) {
  VarParser p("A\n\nG1 X 5");
  EXPECT_EQ(p.PeekChar(), 'A');
  EXPECT_TRUE(p.NextLine() && p.endOfLine);  // empty line
  EXPECT_TRUE(p.NextLine() && p.PeekChar() == 'G');
  for (Reader r : {LETTER, EXPR, SKIP, LETTER}) EXPECT_EQ(Read(p, r), 0);
  EXPECT_TRUE(Read(p, EXPR) == ERR_NUMBER_EXPECTED && !p.lineOk);
  EXPECT_EQ(p.FormatErrorReport(), "number or formula expected line 3 column 3");  // the token's column
  p.column = 5;
  // The first error's column is where it was found.
  for (auto [code, kept, column] :
       {std::tuple(ERR_NUMBER_RANGE, ERR_NUMBER_EXPECTED, 4), {ERR_INDEX_RANGE, ERR_INDEX_RANGE, 5}}) {
    const int32_t thrown = code;  // clang 14 cannot capture a structured binding
    EXPECT_EQ(CodeOf([&] { p.ThrowError(thrown); }), code);
    EXPECT_TRUE(p.errorCode == kept && p.errorColumn == column) << code;
  }
  p.RecordRangeError(-1062);  // a preview's range error does not stop
  EXPECT_EQ(p.errorText, "Collision with ATC keepout area line 3 column 3");
  EXPECT_FALSE(p.NextLine());  // at the end, and stays there
  EXPECT_TRUE(p.lineNumber == 0 && !p.NextLine());
  // After a reset the range error is the first and is recorded.
  p.Rewind();
  EXPECT_TRUE(p.rewinds == 1 && p.errorCode == 0);
  EXPECT_EQ(CodeOf([&] { p.ThrowError(ERR_NUMBER_RANGE); }), ERR_NUMBER_RANGE);
  EXPECT_EQ(p.errorCode, ERR_NUMBER_RANGE);
  EXPECT_EQ(VarParser().NewMainFile(testsupport::ScratchDir() + "/nope.nc"), 0);
  EXPECT_EQ(VarParser("CALL L10@\"macros/x.nc\"").fileName, "macros/x.nc");
}

TEST(FileParserLines, SkipToKeywordAndMatch) {
  // From the line a search starts on; "L10x" is no L10, but a digit after the
  // keyword does not stop the match.
  VarParser p("%\nL10x\nL1\n (c) L10 G0\nX1");
  for (auto [from, keyword, line] : {std::tuple(1, "%", 1), {2, "L1", 2}, {2, "L10", 4}}) {
    p.Rewind();
    if (from == 2) p.NextLine();
    p.SkipToKeyword(keyword);
    EXPECT_EQ(p.lineNumber, line) << keyword;
  }
  EXPECT_EQ(p.PeekChar(), ' ');

  VarParser m("THEX");  // a failed match restores the cursor
  EXPECT_FALSE(m.Match("THEN") || m.Match("THEX1") || m.column != 0 || m.endOfLine);
  EXPECT_TRUE(m.Match("THEX") && m.endOfLine);
}

// Signal states for condition tests.
struct FakeSignals : ConditionSignals {
  bool InputState(int32_t n) const override { return n == 3; }
  bool OutputState(int32_t n) const override { return n == 2; }
  bool FlagState(int32_t n) const override { return n == 7; }
  double Tolerance() const override { return 0.01; }
};

TEST(FileParserConditions, Evaluation) {
  FakeSignals signals;
  ConditionSignals* previous = SetConditionSignals(&signals);
  const struct { const char* text; double v1; bool result; } cases[] = {
      {"!(#I3=1&#O2=0)", 0, true}, {"#I3=1 & #O2=1 & #N7=0", 0, false}, {"#I4=0 | #I5=1", 0, true},
      {"#N[3+4]=1", 0, true},  // index formula
      {"#1=2", 2.005, true}, {"#1<>2", 2.005, false}, {"#1<=2", 2.005, true}, {"#1>=2", 1.995, true},  // tolerance
      {"#1=2", 2.02, false}, {"#1<>2", 2.02, true}, {"#1<2", 2.0, false}, {"#1>2", 2.0, false}, {"#1&4", 6, true},
      {"#1&4", 3, false}, {"#1=1 | #N7=0 & #1&4", 1, true},  // "&" binds tighter than "|"
      {"!#1=1 & #1=2", 1, false},  // "!" applies to the bracket-free term only
  };
  for (const auto& k : cases) {
    VarParser p(k.text);
    p.v1 = k.v1;
    Condition c;
    p.CompileCondition(c);
    EXPECT_EQ(p.EvaluateCondition(c), k.result) << k.text << " with #1=" << k.v1;
  }
  EXPECT_FALSE(VarParser("").EvaluateCondition(Condition{}));
  SetConditionSignals(previous);
}

}  // namespace
