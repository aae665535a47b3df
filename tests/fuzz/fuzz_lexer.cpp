// Feeds arbitrary bytes to the lexer as an operator-typed text and reads every
// line the ways the interpreter does: words, names, strings, conditions and
// keyword searches. Errors are expected; crashes, hangs and leaks are not.
#include <cstddef>
#include <cstdint>
#include <string>

#include "program/fileparser.h"
#include "base/logging.h"

namespace {

class FuzzParser : public FileParser {
 public:
  using FileParser::FileParser;
  double ReadVariable() override { return VariableValue(ParseVariableRef()); }
  double VariableValue(int32_t n) override { return n >= 0 && n < 1000 ? vars[n] : 0; }
  bool IsAxisSupported(char letter) const override { return letter != 'W'; }
  double vars[1000] = {};
};

template <typename F>
void Try(FuzzParser& p, F&& f) {
  try {
    f();
  } catch (const Error_t&) {
    p.ResetErrorRecord();
  }
}

void ReadLine(FuzzParser& p, int mode, Condition& condition, std::string& s) {
  switch (mode) {
    case 0:  // words: a letter then a formula
      Try(p, [&] {
        for (p.SkipSpaceAndComments(); !p.endOfLine; p.SkipSpaceAndComments()) {
          const char letter = p.GetLetter();
          const double v = p.Expression();
          if (letter == '#' && p.PeekChar() == '=') {
            p.NextChar();
            const int32_t n = Round(v);
            const double value = p.Expression();
            if (n >= 0 && n < 1000) p.vars[n] = value;
          }
        }
      });
      break;
    case 1:  // a condition, then whatever follows
      Try(p, [&] {
        p.SkipSpaceAndComments();
        p.CompileCondition(condition);
        p.EvaluateCondition(condition);
      });
      break;
    case 2:  // names and strings
      Try(p, [&] {
        p.SkipSpace();
        p.GetName(s);
        p.SkipSpace();
        p.GetString(s);
        p.ReadSignedInt();
      });
      break;
    default:  // a jump to a label
      Try(p, [&] { p.SkipToKeyword("L1"); });
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (SetLogLevel(0), SetLogMask(0), true);
  (void)quiet;
  const std::string text(reinterpret_cast<const char*>(data), size);
  Condition condition;
  std::string s;
  for (int mode = 0; mode < 4; ++mode) {
    FuzzParser p(text);
    FuzzParser sub(&p);  // a second parser on the shared store
    int lines = 0;
    do {
      if (lines & 1) {
        sub.GotoLine(p.lineNumber);
        ReadLine(sub, (mode + lines) % 4, condition, s);
      } else {
        ReadLine(p, (mode + lines) % 4, condition, s);
      }
      if (++lines > 100000) __builtin_trap();  // a line loop that never ends
    } while (p.NextLine());
    p.Rewind();
  }
  return 0;
}
