#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>

#include "fileparser.h"
#include "testsupport.h"

namespace {

// A parser with variables in a plain array, as the interpreter will have.
class VarParser : public FileParser {
 public:
  using FileParser::FileParser;
  double vars[1000] = {};
  bool noAxisB = false;
  int rewinds = 0;

  double ReadVariable() override { return vars[CheckedIndex(ParseVariableRef())]; }
  double VariableValue(int32_t n) override { return vars[CheckedIndex(n)]; }
  bool IsAxisSupported(char letter) const override { return !(noAxisB && letter == 'B'); }

 protected:
  void OnRewind() override { rewinds++; }

 private:
  int32_t CheckedIndex(int32_t n) {
    if (n < 0 || n > 999) ThrowError(ERR_INDEX_RANGE);
    return n;
  }
};

// The code an action throws, 0 when none.
template <typename F>
int32_t CodeOf(F&& f) {
  try {
    f();
  } catch (const Error_t& e) {
    return e.code;
  }
  return 0;
}

double Eval(const std::string& text) {
  VarParser p(text);
  return p.Expression();
}

int32_t EvalError(const std::string& text) {
  VarParser p(text);
  return CodeOf([&] { p.Expression(); });
}

TEST(FileParserNumbers, Readers) {
  enum Reader { REAL, INT, SIGNED };
  const struct {
    const char* text;
    bool letterFirst;
    Reader reader;
    double value;
    int32_t error;
    int errorColumn;  // -1: not checked
  } cases[] = {
      {"X-.5", true, REAL, -0.5, 0, -1},     {"1.23456789", false, REAL, 1.23456789, 0, -1},
      {"+12.5", false, REAL, 12.5, 0, -1},   {"-42 ", false, SIGNED, -42, 0, -1},
      {"X1.2.3", true, REAL, 0, ERR_NO_DECIMAL, 4}, {"-5", false, INT, 0, ERR_NO_NEGATIVE, -1},
      {"5.5", false, SIGNED, 0, ERR_NO_DECIMAL, -1}, {"-", false, REAL, 0, ERR_NUMBER_EXPECTED, -1},
      {"99999999999", false, INT, 0, ERR_NUMBER_RANGE, -1},
  };
  for (const auto& c : cases) {
    VarParser p(c.text);
    if (c.letterFirst) p.GetLetter();
    double v = 0;
    const int32_t code = CodeOf([&] {
      v = c.reader == REAL ? p.ReadReal() : c.reader == INT ? p.ReadInt() : p.ReadSignedInt();
    });
    EXPECT_EQ(code, c.error) << c.text;
    if (!c.error) {
      EXPECT_DOUBLE_EQ(v, c.value) << c.text;
    }
    if (c.errorColumn >= 0) {
      EXPECT_EQ(p.errorColumn, c.errorColumn) << c.text;
    }
  }
  VarParser dot("X.");
  dot.GetLetter();
  EXPECT_EQ(dot.ReadReal(), 0);
  EXPECT_TRUE(dot.endOfLine);
  VarParser exp("X1e3");  // no exponents: the "e" is an unexpected character
  exp.GetLetter();
  EXPECT_EQ(exp.ReadReal(), 1);
  EXPECT_EQ(CodeOf([&] { exp.GetLetter(); }), ERR_UNEXPECTED_CHAR);
  EXPECT_EQ(exp.errorColumn, 2);
}

TEST(FileParserTokens, LettersNamesAndStrings) {
  VarParser blank("X 10");
  blank.GetLetter();
  EXPECT_EQ(CodeOf([&] { blank.Expression(); }), ERR_NUMBER_EXPECTED);
  EXPECT_EQ(blank.errorColumn, 1);
  EXPECT_EQ(CodeOf([] { VarParser("x10").GetLetter(); }), ERR_UNEXPECTED_CHAR);
  for (const char* t : {"5", "-1", "+1", ".5"})
    EXPECT_EQ(CodeOf([&] { VarParser(t).GetLetter(); }), ERR_UNEXPECTED_NUMBER) << t;
  EXPECT_EQ(VarParser("#1").GetLetter(), '#');

  std::string s;
  VarParser name("Tool_1.a-b+c rest");
  EXPECT_TRUE(name.GetName(s));
  EXPECT_EQ(s, "Tool_1.a-b+c");
  EXPECT_EQ(name.PeekChar(), ' ');
  EXPECT_EQ(CodeOf([&] { VarParser("1abc").GetName(s); }), ERR_UNEXPECTED_NUMBER);

  VarParser str("\"a\\nb\" X");
  str.GetString(s);
  EXPECT_EQ(s, "a\nb");
  EXPECT_EQ(str.PeekChar(), ' ');
  VarParser esc("\"a\\tb\"");
  EXPECT_EQ(CodeOf([&] { esc.GetString(s); }), ERR_UNEXPECTED_CHAR);
  EXPECT_EQ(esc.errorColumn, 3);  // one past the backslash
  for (const char* t : {"\"open", "abc"})
    EXPECT_EQ(CodeOf([&] { VarParser(t).GetString(s); }), ERR_QUOTE_EXPECTED) << t;
}

TEST(FileParserTokens, CommentsAndHighBytes) {
  VarParser nested("(a (b) c) X1");  // comments do not nest
  nested.SkipSpaceAndComments();
  EXPECT_EQ(nested.PeekChar(), 'c');
  VarParser high(std::string("\x80\xff\x01\t G1"));
  high.SkipSpaceAndComments();
  EXPECT_EQ(high.GetLetter(), 'G');
  EXPECT_EQ(high.tokenColumn, 5);

  // A comment runs over the line end; every character of the following
  // line is examined for the closing bracket.
  VarParser p("G1 (start\n)X5\nY1");
  p.GetLetter();
  p.Expression();
  p.SkipSpaceAndComments();
  EXPECT_EQ(p.lineNumber, 2);
  EXPECT_EQ(p.GetLetter(), 'X');
  VarParser open("G1\n(never closed\n");
  open.NextLine();
  EXPECT_EQ(CodeOf([&] { open.SkipSpaceAndComments(); }), ERR_MISSING_BRACKET);
  EXPECT_EQ(open.errorLine, 2);
}

TEST(FileParserExpressions, Values) {
  const struct {
    const char* text;
    double value;
  } cases[] = {
      {"2+3*4^2", 146}, {"-2^2", -4},     {"5&3", 1},         {"5|2", 7},
      {"1+5|2", 6 | 2}, {"10-2-3", 5},    {"12/2*3", 18},     {"(2+3)*4", 20},
      {"2 +3", 2},  // a blank ends the expression
      {"ROUND(2.5)", 3}, {"ROUND(-2.5)", -2}, {"ABS(-3)", 3}, {"SQRT(16)+1", 5},
      {"SIN(90)", std::sin(90.0)}, {"ATAN(1)*4", std::numbers::pi}, {"LOG(EXP(2))", 2},
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(Eval(c.text), c.value) << c.text;
  EXPECT_EQ(Eval(std::string(20, '(') + "1" + std::string(20, ')')), 1);
}

TEST(FileParserExpressions, Errors) {
  const struct {
    std::string text;
    int32_t error;
  } cases[] = {
      {"2*-3", ERR_NUMBER_EXPECTED}, {"7/0", ERR_DIVISION_BY_ZERO}, {"|2", ERR_NUMBER_EXPECTED},
      {"(1+2", ERR_MISSING_BRACKET}, {"", ERR_NUMBER_EXPECTED},      {"ABS(1", ERR_MISSING_BRACKET},
      {"#[1000]", ERR_INDEX_RANGE},  {"#[-1]", ERR_INDEX_RANGE},     {"#[5", ERR_MISSING_BRACKET},
      {"P10", ERR_INDEX_RANGE},      {"E", ERR_INVALID_VARIABLE},    {"N", ERR_INVALID_VARIABLE},
      {"#X", ERR_INVALID_VARIABLE},  {std::string(5000, '(') + "1", ERR_FORMULA_TOO_COMPLEX},
  };
  for (const auto& c : cases) EXPECT_EQ(EvalError(c.text), c.error) << c.text.substr(0, 20);
  // A plain parser knows no variables.
  FileParser plain("#1");
  EXPECT_EQ(CodeOf([&] { plain.Expression(); }), ERR_NUMBER_EXPECTED);
  VarParser r("B");
  r.noAxisB = true;
  EXPECT_EQ(CodeOf([&] { r.Expression(); }), ERR_AXIS_NOT_SUPPORTED);
}

TEST(FileParserExpressions, Variables) {
  VarParser p("SINX");
  p.vars[30 + 'S' - 'A'] = 2;
  EXPECT_EQ(p.Expression(), 2);  // not a function: the variable S, then stop
  EXPECT_EQ(p.PeekChar(), 'I');

  VarParser q("#[2*5]+#7+P3+P[1]+P");
  q.vars[10] = 1;
  q.vars[7] = 10;
  q.vars[59] = 100;
  q.vars[57] = 1000;
  q.vars[30 + 'P' - 'A'] = 10000;
  EXPECT_EQ(q.Expression(), 11111);
}

TEST(FileParserErrors, RecordingRules) {
  VarParser p("G1 X 5");
  p.GetLetter();
  p.Expression();
  p.SkipSpaceAndComments();
  p.GetLetter();
  EXPECT_EQ(CodeOf([&] { p.Expression(); }), ERR_NUMBER_EXPECTED);
  EXPECT_FALSE(p.lineOk);
  EXPECT_EQ(p.errorCode, ERR_NUMBER_EXPECTED);
  EXPECT_EQ(p.errorTokenColumn, 3);
  EXPECT_EQ(p.errorColumn, 4);
  EXPECT_EQ(p.FormatErrorReport(), "number or formula expected line 1 column 3");

  // A later range error never replaces a recorded error ...
  p.column = 5;
  EXPECT_EQ(CodeOf([&] { p.ThrowError(ERR_NUMBER_RANGE); }), ERR_NUMBER_RANGE);
  EXPECT_EQ(p.errorCode, ERR_NUMBER_EXPECTED);
  EXPECT_EQ(p.errorColumn, 4);
  // ... but any other error does.
  EXPECT_EQ(CodeOf([&] { p.ThrowError(ERR_INDEX_RANGE); }), ERR_INDEX_RANGE);
  EXPECT_EQ(p.errorCode, ERR_INDEX_RANGE);
  EXPECT_EQ(p.errorColumn, 5);

  // After a reset the range error is the first and is recorded.
  p.Rewind();
  EXPECT_EQ(p.rewinds, 1);
  EXPECT_EQ(p.errorCode, 0);
  EXPECT_EQ(CodeOf([&] { p.ThrowError(Error_t(ERR_NUMBER_RANGE, 7)); }), ERR_NUMBER_RANGE);
  EXPECT_EQ(p.errorCode, ERR_NUMBER_RANGE);
}

TEST(FileParserLines, FilesLinesAndErrorLines) {
  const std::string dir = testsupport::MakeTempDir("fileparser");
  testsupport::WriteFile(dir + "/a.nc", "A\n\nB");
  testsupport::WriteFile(dir + "/sub.nc", "L1\nG1\nX?\n");
  VarParser p;
  ASSERT_EQ(p.NewMainFile(dir + "/a.nc"), 1);
  EXPECT_EQ(p.fileName, dir + "/a.nc");
  const int32_t first = p.Text()->LoadFile(dir + "/sub.nc");
  ASSERT_GT(first, 3);
  EXPECT_EQ(p.PeekChar(), 'A');
  EXPECT_TRUE(p.NextLine());
  EXPECT_TRUE(p.endOfLine);  // empty line
  EXPECT_TRUE(p.NextLine());
  EXPECT_EQ(p.PeekChar(), 'B');
  EXPECT_FALSE(p.NextLine());  // stops at the end of its file
  EXPECT_EQ(p.lineNumber, 0);
  EXPECT_FALSE(p.NextLine());

  // Error lines count from the start of the file they are in.
  p.GotoLine(first + 2);
  p.GetLetter();
  EXPECT_EQ(CodeOf([&] { p.Expression(); }), ERR_NUMBER_EXPECTED);
  EXPECT_EQ(p.errorLine, 3);
  p.RecordRangeError(-1062);
  EXPECT_EQ(p.errorText, "Collision with ATC keepout area line 3 column 0");

  VarParser missing;
  EXPECT_EQ(missing.NewMainFile(dir + "/nope.nc"), 0);
  EXPECT_EQ(missing.Text()->ErrorCode(), TextControl::TEXT_CANNOT_OPEN);
  EXPECT_EQ(VarParser("CALL L10@\"macros/x.nc\"").fileName, "macros/x.nc");
  EXPECT_EQ(VarParser("G0 X1").fileName, "G0 X1");
}

TEST(FileParserLines, SharedStoreKeepsEachParsersCursor) {
  VarParser main("A1\nB2\nC3");
  main.NextLine();
  {
    VarParser sub(&main);
    EXPECT_EQ(sub.Text(), main.Text());
    EXPECT_EQ(main.Text()->UseCount(), 2);
    EXPECT_EQ(sub.lineNumber, 2);
    sub.NextLine();
    EXPECT_EQ(sub.PeekChar(), 'C');
  }
  EXPECT_EQ(main.Text()->UseCount(), 1);
  EXPECT_TRUE(main.NextLine());  // continues from its own line, not the sub's
  EXPECT_EQ(main.PeekChar(), 'C');
}

TEST(FileParserLines, SkipToKeywordAndMatch) {
  VarParser p("%\nL10x\nL1\n (c) L10 G0\nX1");
  p.NextLine();
  p.SkipToKeyword("L10");
  EXPECT_EQ(p.lineNumber, 4);
  EXPECT_EQ(p.PeekChar(), ' ');
  p.Rewind();
  p.SkipToKeyword("%");
  EXPECT_EQ(p.lineNumber, 1);
  p.Rewind();
  p.NextLine();
  p.SkipToKeyword("L1");  // a digit after the keyword does not stop the match
  EXPECT_EQ(p.lineNumber, 2);
  p.Rewind();
  EXPECT_EQ(CodeOf([&] { p.SkipToKeyword("L99"); }), ERR_LABEL_NOT_FOUND);
  EXPECT_EQ(CodeOf([] { VarParser("G0\nG1").SkipToKeyword("%"); }), ERR_PERCENT_MISSING);

  VarParser m("THEX");  // a failed match restores the cursor
  EXPECT_FALSE(m.Match("THEN"));
  EXPECT_FALSE(m.Match("THEX1"));
  EXPECT_EQ(m.column, 0);
  EXPECT_FALSE(m.endOfLine);
  EXPECT_TRUE(m.Match("THEX"));
  EXPECT_TRUE(m.endOfLine);
}

// Signal states for condition tests.
class FakeSignals : public ConditionSignals {
 public:
  bool InputState(int32_t n) const override { return n == 3; }
  bool OutputState(int32_t n) const override { return n == 2; }
  bool FlagState(int32_t n) const override { return n == 7; }
  double Tolerance() const override { return 0.01; }
};

TEST(FileParserConditions, CompilationErrors) {
  const struct {
    std::string text;
    int32_t error;
  } cases[] = {
      {"#I3=2", ERR_INPUT_CONDITION},      {"#I3", ERR_INPUT_CONDITION},
      {"#Ix=1", ERR_INPUT_CONDITION},      {"#O1=-1", ERR_INPUT_CONDITION},
      {"#1==2", ERR_NUMBER_EXPECTED},  // "=" is the operator; "=2" is no expression
      {"#1!2", ERR_COMPARISON_EXPECTED},   {"(#1=2", ERR_MISSING_BRACKET},
      {"E=1", ERR_INVALID_VARIABLE},       {std::string(1000, '(') + "#1=1", ERR_FORMULA_TOO_COMPLEX},
  };
  Condition c;
  for (const auto& k : cases)
    EXPECT_EQ(CodeOf([&] { VarParser(k.text).CompileCondition(c); }), k.error) << k.text.substr(0, 20);
}

TEST(FileParserConditions, Evaluation) {
  FakeSignals signals;
  ConditionSignals* previous = SetConditionSignals(&signals);
  const struct {
    const char* text;
    double v1;
    bool result;
  } cases[] = {
      {"!(#I3=1&#O2=0)", 0, true}, {"#I3=1 & #O2=1 & #N7=0", 0, false}, {"#I4=0 | #I5=1", 0, true},
      {"#1=2", 2.005, true},  // within the tolerance
      {"#1=2", 2.02, false},       {"#1<>2", 2.02, true},  {"#1<>2", 2.005, false},
      {"#1<=2", 2.005, true},      {"#1<2", 2.0, false},   {"#1>=2", 1.995, true},
      {"#1>2", 2.0, false},        {"#1&4", 6, true},      {"#1&4", 3, false},
      {"#N[3+4]=1", 0, true},  // index formula
      {"#1=1 | #N7=0 & #1&4", 1, true},  // "&" binds tighter than "|"
      {"!#1=1 & #1=2", 1, false},       // "!" applies to the bracket-free term only
  };
  for (const auto& k : cases) {
    VarParser p(k.text);
    p.vars[1] = k.v1;
    Condition c;
    p.CompileCondition(c);
    EXPECT_EQ(p.EvaluateCondition(c), k.result) << k.text << " with #1=" << k.v1;
  }
  EXPECT_FALSE(VarParser("").EvaluateCondition(Condition{}));
  SetConditionSignals(previous);
}

}  // namespace
