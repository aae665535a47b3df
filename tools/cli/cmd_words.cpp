// quorvane-cli words FILE: splits every line of a program into words the way
// the interpreter reads them, and reports syntax errors with their position.
#include <cstdio>
#include <string>

#include "command.h"
#include "program/fileparser.h"

namespace {

// Holds the numbered variables assigned on the way (#n=value); everything
// else, letter variables included, reads as 0.
class WordsParser : public FileParser {
 public:
  double ReadVariable() override { return VariableValue(ParseVariableRef()); }
  double VariableValue(int32_t n) override { return n >= 0 && n < 1000 ? vars[n] : 0; }
  void Assign(double index, double value) {
    const int32_t n = Round(index);
    if (n < 0 || n > 999) ThrowError(ERR_INDEX_RANGE);
    vars[n] = value;
  }

 private:
  double vars[1000] = {};
};

// Shortest stable form: up to six decimals, trailing zeros dropped.
std::string FormatValue(double v) {
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.6f", v);
  std::string s = buf;
  if (s.find('.') != std::string::npos) {
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.') s.pop_back();
  }
  if (s == "-0") s = "0";
  return s;
}

int RunWords(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: quorvane-cli words FILE\n");
    return 2;
  }
  WordsParser parser;
  if (parser.NewMainFile(args[0]) == 0) {
    std::fprintf(stderr, "cannot open %s\n", args[0].c_str());
    return 2;
  }
  long lines = 0, words = 0, errors = 0;
  // An empty file has no line: its first line number is its closing entry.
  bool more = parser.Text()->GetLine(parser.lineNumber, nullptr) != 0;
  while (more) {
    const int32_t line = parser.FileRelativeLine(parser.lineNumber);
    std::string out;
    long lineWords = 0;
    try {
      parser.SkipSpaceAndComments();
      // A '%' opening a line marks the program start.
      if (parser.PeekChar() == '%') {
        parser.NextChar();
        out += " %";
        parser.SkipSpaceAndComments();
      }
      while (!parser.endOfLine) {
        const char letter = parser.GetLetter();
        if (letter == '#') {
          // The variable number: an integer, a formula, or a formula in [ ].
          double index;
          if (parser.PeekChar() == '[') {
            parser.NextChar();
            index = parser.Expression();
            if (parser.PeekChar() != ']') parser.ThrowError(ERR_MISSING_BRACKET);
            parser.NextChar();
          } else {
            index = parser.Expression();
          }
          out += " #" + FormatValue(index);
          if (parser.PeekChar() == '=') {
            parser.NextChar();
            const double value = parser.Expression();
            parser.Assign(index, value);
            out += "=" + FormatValue(value);
          }
        } else {
          out += ' ';
          out += letter;
          out += ' ' + FormatValue(parser.Expression());
        }
        lineWords++;
        parser.SkipSpaceAndComments();
      }
      std::printf("%d:%s\n", line, out.c_str());
      words += lineWords;
    } catch (const Error_t&) {
      std::printf("error: %s\n", parser.FormatErrorReport().c_str());
      errors++;
      parser.ResetErrorRecord();  // each line is judged on its own
    }
    lines++;
    more = parser.NextLine();
  }
  std::printf("%ld lines, %ld words, %ld errors\n", lines, words, errors);
  return errors ? 1 : 0;
}

const CliRegistrar kRegister({"words", "FILE", "print the words of every program line, or its syntax error", RunWords});

}  // namespace
