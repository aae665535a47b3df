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
  {
    VarParser p("X-.5");
    EXPECT_EQ(p.GetLetter(), 'X');
    EXPECT_DOUBLE_EQ(p.ReadReal(), -0.5);
  }
  {
    VarParser p("X.");
    p.GetLetter();
    EXPECT_EQ(p.ReadReal(), 0);
    EXPECT_TRUE(p.endOfLine);
  }
  {
    VarParser p("1.23456789");
    EXPECT_DOUBLE_EQ(p.ReadReal(), 1.23456789);
  }
  {
    VarParser p("+12.5");
    EXPECT_EQ(p.ReadReal(), 12.5);
  }
  {
    VarParser p("X1.2.3");
    p.GetLetter();
    EXPECT_EQ(CodeOf([&] { p.ReadReal(); }), ERR_NO_DECIMAL);
    EXPECT_EQ(p.errorColumn, 4);
  }
  {
    VarParser p("X1e3");
    p.GetLetter();
    EXPECT_EQ(p.ReadReal(), 1);
    EXPECT_EQ(CodeOf([&] { p.GetLetter(); }), ERR_UNEXPECTED_CHAR);
    EXPECT_EQ(p.errorColumn, 2);
  }
  {
    VarParser p("-5");
    EXPECT_EQ(CodeOf([&] { p.ReadInt(); }), ERR_NO_NEGATIVE);
  }
  {
    VarParser p("5.5");
    EXPECT_EQ(CodeOf([&] { p.ReadSignedInt(); }), ERR_NO_DECIMAL);
  }
  {
    VarParser p("-");
    EXPECT_EQ(CodeOf([&] { p.ReadReal(); }), ERR_NUMBER_EXPECTED);
  }
  {
    VarParser p("99999999999");
    EXPECT_EQ(CodeOf([&] { p.ReadInt(); }), ERR_NUMBER_RANGE);
  }
  {
    VarParser p("-42 ");
    EXPECT_EQ(p.ReadSignedInt(), -42);
  }
}

TEST(FileParserTokens, LettersAndCase) {
  {
    VarParser p("X 10");
    p.GetLetter();
    EXPECT_EQ(CodeOf([&] { p.Expression(); }), ERR_NUMBER_EXPECTED);
    EXPECT_EQ(p.errorColumn, 1);
  }
  {
    VarParser p("x10");
    EXPECT_EQ(CodeOf([&] { p.GetLetter(); }), ERR_UNEXPECTED_CHAR);
  }
  for (const char* t : {"5", "-1", "+1", ".5"}) {
    VarParser p(t);
    EXPECT_EQ(CodeOf([&] { p.GetLetter(); }), ERR_UNEXPECTED_NUMBER) << t;
  }
  {
    VarParser p("#1");
    EXPECT_EQ(p.GetLetter(), '#');
  }
}

TEST(FileParserTokens, NamesAndStrings) {
  {
    VarParser p("Tool_1.a-b+c rest");
    std::string name;
    EXPECT_TRUE(p.GetName(name));
    EXPECT_EQ(name, "Tool_1.a-b+c");
    EXPECT_EQ(p.PeekChar(), ' ');
  }
  {
    VarParser p("1abc");
    std::string name;
    EXPECT_EQ(CodeOf([&] { p.GetName(name); }), ERR_UNEXPECTED_NUMBER);
  }
  {
    VarParser p("\"a\\nb\" X");
    std::string s;
    p.GetString(s);
    EXPECT_EQ(s, "a\nb");
    EXPECT_EQ(p.PeekChar(), ' ');
  }
  {
    VarParser p("\"a\\tb\"");
    std::string s;
    EXPECT_EQ(CodeOf([&] { p.GetString(s); }), ERR_UNEXPECTED_CHAR);
    EXPECT_EQ(p.errorColumn, 3);  // one past the backslash
  }
  {
    VarParser p("\"open");
    std::string s;
    EXPECT_EQ(CodeOf([&] { p.GetString(s); }), ERR_QUOTE_EXPECTED);
  }
  {
    VarParser p("abc");
    std::string s;
    EXPECT_EQ(CodeOf([&] { p.GetString(s); }), ERR_QUOTE_EXPECTED);
  }
}

TEST(FileParserTokens, CommentsAndHighBytes) {
  {
    VarParser p("(a (b) c) X1");
    p.SkipSpaceAndComments();
    EXPECT_EQ(p.PeekChar(), 'c');
    EXPECT_EQ(CodeOf([&] { p.GetLetter(); }), ERR_UNEXPECTED_CHAR);
  }
  {
    VarParser p(std::string("\x80\xff\x01\t G1"));
    p.SkipSpaceAndComments();
    EXPECT_EQ(p.GetLetter(), 'G');
    EXPECT_EQ(p.tokenColumn, 5);
  }
  {
    // A comment runs over the line end; every character of the following
    // line is examined for the closing bracket.
    VarParser p("G1 (start\n)X5\nY1");
    p.GetLetter();
    p.Expression();
    p.SkipSpaceAndComments();
    EXPECT_EQ(p.lineNumber, 2);
    EXPECT_EQ(p.GetLetter(), 'X');
  }
  {
    VarParser p("G1\n(never closed\n");
    p.NextLine();
    EXPECT_EQ(CodeOf([&] { p.SkipSpaceAndComments(); }), ERR_MISSING_BRACKET);
    EXPECT_EQ(p.errorLine, 2);
  }
}

TEST(FileParserExpressions, Precedence) {
  EXPECT_EQ(Eval("2+3*4^2"), 146);
  EXPECT_EQ(Eval("-2^2"), -4);
  EXPECT_EQ(Eval("5&3"), 1);
  EXPECT_EQ(Eval("5|2"), 7);
  EXPECT_EQ(Eval("1+5|2"), 6 | 2);
  EXPECT_EQ(Eval("10-2-3"), 5);
  EXPECT_EQ(Eval("12/2*3"), 18);
  EXPECT_EQ(Eval("(2+3)*4"), 20);
  EXPECT_EQ(Eval("2 +3"), 2);  // a blank ends the expression
  EXPECT_EQ(EvalError("2*-3"), ERR_NUMBER_EXPECTED);
  EXPECT_EQ(EvalError("7/0"), ERR_DIVISION_BY_ZERO);
  EXPECT_EQ(EvalError("|2"), ERR_NUMBER_EXPECTED);
  EXPECT_EQ(EvalError("(1+2"), ERR_MISSING_BRACKET);
  EXPECT_EQ(EvalError(""), ERR_NUMBER_EXPECTED);
}

TEST(FileParserExpressions, Functions) {
  EXPECT_DOUBLE_EQ(Eval("SIN(90)"), std::sin(90.0));
  EXPECT_EQ(Eval("ROUND(2.5)"), 3);
  EXPECT_EQ(Eval("ROUND(-2.5)"), -2);
  EXPECT_EQ(Eval("ABS(-3)"), 3);
  EXPECT_EQ(Eval("SQRT(16)+1"), 5);
  EXPECT_DOUBLE_EQ(Eval("ATAN(1)*4"), std::numbers::pi);
  EXPECT_DOUBLE_EQ(Eval("LOG(EXP(2))"), 2);
  EXPECT_EQ(EvalError("ABS(1"), ERR_MISSING_BRACKET);
  // A plain parser knows no variables.
  FileParser plain("#1");
  EXPECT_EQ(CodeOf([&] { plain.Expression(); }), ERR_NUMBER_EXPECTED);
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

  EXPECT_EQ(EvalError("#[1000]"), ERR_INDEX_RANGE);
  EXPECT_EQ(EvalError("#[-1]"), ERR_INDEX_RANGE);
  EXPECT_EQ(EvalError("#[5"), ERR_MISSING_BRACKET);
  EXPECT_EQ(EvalError("P10"), ERR_INDEX_RANGE);
  EXPECT_EQ(EvalError("E"), ERR_INVALID_VARIABLE);
  EXPECT_EQ(EvalError("N"), ERR_INVALID_VARIABLE);
  EXPECT_EQ(EvalError("#X"), ERR_INVALID_VARIABLE);

  VarParser r("B");
  r.noAxisB = true;
  EXPECT_EQ(CodeOf([&] { r.Expression(); }), ERR_AXIS_NOT_SUPPORTED);
}

TEST(FileParserExpressions, DeepNestingIsRefused) {
  EXPECT_EQ(EvalError(std::string(5000, '(') + "1"), ERR_FORMULA_TOO_COMPLEX);
  EXPECT_EQ(Eval(std::string(20, '(') + "1" + std::string(20, ')')), 1);
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

TEST(FileParserErrors, LineIsRelativeToItsFile) {
  const std::string dir = testsupport::MakeTempDir("fileparser");
  testsupport::WriteFile(dir + "/main.nc", "%\nG0\n");
  testsupport::WriteFile(dir + "/sub.nc", "L1\nG1\nX?\n");
  VarParser p;
  ASSERT_EQ(p.NewMainFile(dir + "/main.nc"), 1);
  EXPECT_EQ(p.fileName, dir + "/main.nc");
  const int32_t first = p.Text()->LoadFile(dir + "/sub.nc");
  ASSERT_EQ(first, 5);
  p.GotoLine(first + 2);
  p.GetLetter();
  EXPECT_EQ(CodeOf([&] { p.Expression(); }), ERR_NUMBER_EXPECTED);
  EXPECT_EQ(p.errorLine, 3);

  p.RecordRangeError(-1062);
  EXPECT_EQ(p.errorText, "Collision with ATC keepout area line 3 column 0");
}

TEST(FileParserLines, NextLineStopsAtEndOfFile) {
  const std::string dir = testsupport::MakeTempDir("fileparser");
  testsupport::WriteFile(dir + "/a.nc", "A\n\nB");
  testsupport::WriteFile(dir + "/b.nc", "C\n");
  VarParser p;
  ASSERT_EQ(p.NewMainFile(dir + "/a.nc"), 1);
  p.Text()->LoadFile(dir + "/b.nc");
  EXPECT_EQ(p.lineNumber, 1);
  EXPECT_EQ(p.PeekChar(), 'A');
  EXPECT_TRUE(p.NextLine());
  EXPECT_TRUE(p.endOfLine);  // empty line
  EXPECT_TRUE(p.NextLine());
  EXPECT_EQ(p.PeekChar(), 'B');
  EXPECT_FALSE(p.NextLine());
  EXPECT_EQ(p.lineNumber, 0);
  EXPECT_FALSE(p.NextLine());

  VarParser missing;
  EXPECT_EQ(missing.NewMainFile(dir + "/nope.nc"), 0);
  EXPECT_EQ(missing.Text()->ErrorCode(), TextControl::TEXT_CANNOT_OPEN);
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

TEST(FileParserLines, MdiFileName) {
  EXPECT_EQ(VarParser("CALL L10@\"macros/x.nc\"").fileName, "macros/x.nc");
  EXPECT_EQ(VarParser("G0 X1").fileName, "G0 X1");
}

TEST(FileParserLines, SkipToKeyword) {
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

  VarParser q("G0\nG1");
  EXPECT_EQ(CodeOf([&] { q.SkipToKeyword("%"); }), ERR_PERCENT_MISSING);
}

TEST(FileParserLines, MatchRestoresTheCursor) {
  VarParser p("THEX");
  EXPECT_FALSE(p.Match("THEN"));
  EXPECT_EQ(p.column, 0);
  EXPECT_FALSE(p.Match("THEX1"));
  EXPECT_EQ(p.column, 0);
  EXPECT_FALSE(p.endOfLine);
  EXPECT_TRUE(p.Match("THEX"));
  EXPECT_TRUE(p.endOfLine);
}

// Signal states for condition tests.
class FakeSignals : public ConditionSignals {
 public:
  bool InputState(int32_t n) const override { return n == 3; }
  bool OutputState(int32_t n) const override { return n == 2; }
  bool FlagState(int32_t n) const override { return n == 7; }
  double Tolerance() const override { return 0.01; }
};

struct SignalsScope {
  explicit SignalsScope(ConditionSignals* s) : previous(SetConditionSignals(s)) {}
  ~SignalsScope() { SetConditionSignals(previous); }
  ConditionSignals* previous;
};

TEST(FileParserConditions, Compilation) {
  Condition c;
  VarParser p("#5<=3");
  p.CompileCondition(c);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].kind, ConditionTerm::COMPARE);
  EXPECT_EQ(c[0].number, 5);
  EXPECT_EQ(c[0].op, ConditionTerm::LE);
  EXPECT_EQ(c[0].value, 3);

  VarParser q("!(#I3=1&#O2=0)");
  q.CompileCondition(c);
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(c[0].kind, ConditionTerm::INPUT);
  EXPECT_EQ(c[0].number, 3);
  EXPECT_EQ(c[0].value, 1);
  EXPECT_EQ(c[1].kind, ConditionTerm::OUTPUT);
  EXPECT_EQ(c[1].value, 0);
  EXPECT_EQ(c[2].kind, ConditionTerm::LOGIC);
  EXPECT_EQ(c[2].op, ConditionTerm::AND);
  EXPECT_EQ(c[3].op, ConditionTerm::NOT);

  VarParser r("#1 <> 2 | #N[3+4] = 1 & #2 & 4");
  r.CompileCondition(c);
  ASSERT_EQ(c.size(), 5u);
  EXPECT_EQ(c[0].op, ConditionTerm::NE);
  EXPECT_EQ(c[1].kind, ConditionTerm::FLAG);
  EXPECT_EQ(c[1].number, 7);
  EXPECT_EQ(c[2].op, ConditionTerm::BITAND);
  EXPECT_EQ(c[3].op, ConditionTerm::AND);
  EXPECT_EQ(c[4].op, ConditionTerm::OR);
}

TEST(FileParserConditions, CompilationErrors) {
  Condition c;
  for (const char* t : {"#I3=2", "#I3", "#Ix=1", "#O1=-1"}) {
    VarParser p(t);
    EXPECT_EQ(CodeOf([&] { p.CompileCondition(c); }), ERR_INPUT_CONDITION) << t;
  }
  VarParser p("#1==2");  // "=" is the operator; "=2" is no expression
  EXPECT_EQ(CodeOf([&] { p.CompileCondition(c); }), ERR_NUMBER_EXPECTED);
  VarParser q("#1!2");
  EXPECT_EQ(CodeOf([&] { q.CompileCondition(c); }), ERR_COMPARISON_EXPECTED);
  VarParser r("(#1=2");
  EXPECT_EQ(CodeOf([&] { r.CompileCondition(c); }), ERR_MISSING_BRACKET);
  VarParser s("E=1");
  EXPECT_EQ(CodeOf([&] { s.CompileCondition(c); }), ERR_INVALID_VARIABLE);
  VarParser deep(std::string(1000, '(') + "#1=1");
  EXPECT_EQ(CodeOf([&] { deep.CompileCondition(c); }), ERR_FORMULA_TOO_COMPLEX);
}

TEST(FileParserConditions, Evaluation) {
  FakeSignals signals;
  SignalsScope scope(&signals);
  auto eval = [](const std::string& text, double v1) {
    VarParser p(text);
    p.vars[1] = v1;
    Condition c;
    p.CompileCondition(c);
    return p.EvaluateCondition(c);
  };
  EXPECT_TRUE(eval("!(#I3=1&#O2=0)", 0));
  EXPECT_FALSE(eval("#I3=1 & #O2=1 & #N7=0", 0));
  EXPECT_TRUE(eval("#I4=0 | #I5=1", 0));
  EXPECT_TRUE(eval("#1=2", 2.005));  // within the tolerance
  EXPECT_FALSE(eval("#1=2", 2.02));
  EXPECT_TRUE(eval("#1<>2", 2.02));
  EXPECT_FALSE(eval("#1<>2", 2.005));
  EXPECT_TRUE(eval("#1<=2", 2.005));
  EXPECT_FALSE(eval("#1<2", 2.0));
  EXPECT_TRUE(eval("#1>=2", 1.995));
  EXPECT_FALSE(eval("#1>2", 2.0));
  EXPECT_TRUE(eval("#1&4", 6));
  EXPECT_FALSE(eval("#1&4", 3));
  VarParser p("");
  EXPECT_FALSE(p.EvaluateCondition(Condition{}));
}

}  // namespace
