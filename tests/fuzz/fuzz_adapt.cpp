// Arbitrary bytes as a program to adapt; the first byte picks the machine's
// CenterAbs and whether V is an axis. Either the program is refused, or the
// adapted program reads, as the interpreter reads it from its program store
// from the '%' line to where the program ends, without a dialect error: no
// '%' missing before code (-1057), no unexpected character (-1004), no
// missing number (-1011), nor any other syntax error, and no G code with a
// fraction (G91.1 read as G91, -1016). Adapting the result again changes
// nothing. Every folder points into a private temporary folder.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/folders.h"
#include "interpreter/macroparser.h"
#include "interpreter/messagelist.h"
#include "interpreter/programadapter.h"
#include "machine/machinestate.h"

namespace {

class NullFrontEnd : public FrontEnd {
 public:
  void AddLine(const Coordinates&, double, bool, const Condition*, bool) override {}
  void AddArc(const Coordinates&, const double*, double, int32_t, bool) override {}
  void AddCmd(const StateChange&) override {}
};

class QuietList : public MessageList {
 public:
  void Post(const std::string&) override {}
  void Clear() override {}
};

// Reads a program from its own store, line after line, as ParseLine does.
class StoreReader : public MacroParser {
 public:
  StoreReader(FrontEnd* front, const std::string& text) : MacroParser(front, &actState, text) {}

  struct LineResult {
    int32_t error = 0;
    bool words = false;
    bool ends = false;        // M2, M30, M99, EXIT, SKIP, REWIND: what follows is not read in order
    bool fractionG = false;   // a G code with a fraction, written as a number
  };
  LineResult ReadLine() {
    LineResult r;
    ResetErrorRecord();
    keywordsSeen = 0;
    try {
      for (;;) {
        SkipSpaceAndComments();
        if (endOfLine) break;
        const char* at = linePtr;
        Word w;
        if (!GetWord(w)) break;
        r.words = true;
        if (w.code < 'A') {
          keywordsSeen |= 1u << w.code;
          if (w.code != STMT_ASSIGN) ParseStatement(w.code);
          r.ends |= w.code == STMT_EXIT || w.code == STMT_SKIP || w.code == STMT_REWIND;
        } else if (w.code == 'M') {
          // The interpreter takes an M code's whole part (M30.5 ends the program).
          const int32_t m = ToInt(w.value);
          r.ends |= m == 2 || m == 30 || m == 99;
        } else if (w.code == 'G' && at[1] != '=') {
          r.fractionG |= w.value != std::trunc(w.value);
        }
      }
    } catch (const Error_t& e) {
      r.error = e.code;
    }
    return r;
  }
};

// Everything but what depends on values or on the machine: the adapter
// refuses a line that still cannot be read, so none may be left.
bool IsSyntaxError(int32_t code) {
  switch (code) {
    case 0:
    case -1002:  // axis not supported for the machine type
    case -1008:  // number out of range
    case -1009:  // index out of range
    case -1047:  // output value not 0 or 1
    case -1068:  // division by zero
      return false;
    default:
      return true;
  }
}

QuietList quiet;
NullFrontEnd front;

void Fail(const char* what, const std::string& program) {
  std::fprintf(stderr, "adapted program %s:\n%s\n", what, program.c_str());
  std::abort();
}

void CheckReads(const std::string& program) {
  StoreReader reader(&front, program);
  reader.Rewind();
  bool percent = true;
  try {
    reader.SkipToKeyword("%");
  } catch (const Error_t&) {
    percent = false;
    reader.Rewind();
  }
  if (percent && !reader.NextLine()) return;
  bool more = reader.Text()->GetLine(reader.lineNumber, nullptr) != 0;
  while (more) {
    const StoreReader::LineResult r = reader.ReadLine();
    if (!percent && (r.words || r.error)) Fail("has code but no '%' before it", program);
    if (IsSyntaxError(r.error)) {
      std::fprintf(stderr, "error %d\n", r.error);
      Fail("does not read", program);
    }
    if (r.fractionG) Fail("has a G code with a fraction", program);
    // A value error leaves the rest of its line unread (a comment opened
    // there may run on into the next lines): what follows cannot be judged.
    if (r.ends || r.error) return;
    more = reader.lineNumber != 0 && reader.NextLine();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/quorvane-fuzz-adapt-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  const std::string d = dir ? dir : "/tmp";
  Folders::SetParameters(d);
  Folders::SetMacros(d);
  Folders::SetLogs(d);
  SetMessageList(&quiet);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  // Made once: each holds an interpreter for reading words.
  static ProgramAdapter adapters[4] = {ProgramAdapter(AdaptSettings{false, true}),
                                       ProgramAdapter(AdaptSettings{true, true}),
                                       ProgramAdapter(AdaptSettings{false, false}),
                                       ProgramAdapter(AdaptSettings{true, false})};
  ProgramAdapter& adapter = adapters[data[0] & 3];
  const std::string program(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string out;
  const AdaptReport report = adapter.Adapt(program, out);
  if (report.Refused()) {
    if (!out.empty()) Fail("is not empty although refused", out);
    return 0;
  }
  CheckReads(out);
  std::string again;
  const AdaptReport second = adapter.Adapt(out, again);
  if (second.Refused() || second.Changed() || again != out) Fail("changes when adapted again", out);
  return 0;
}
