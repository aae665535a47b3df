// Adapting programs of other dialects: each line is first read the way the
// other dialects write it (';' comments, nested parentheses, blanks after
// address letters, lower case), then checked with the interpreter's own
// word reader, and the modal rules are applied to the words it read.
#include "interpreter/programadapter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "interpreter/gcodeparser.h"
#include "interpreter/macroparser.h"
#include "machine/machineconfig.h"
#include "program/errors.h"
#include "program/fileparser.h"

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);
constexpr size_t kProgressLines = 65536;
constexpr size_t kLinesNamed = 10;    // line numbers a report line names before "..."
constexpr int32_t kRefusalsKept = 100;  // refused lines described; the others are counted

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsLetter(char c) { return IsLower(c) || (c >= 'A' && c <= 'Z'); }
bool StartsNumber(char c) { return (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-'; }
// Between words the word reader skips every byte up to 32 and from 128 up.
bool IsSkipped(char c) { return static_cast<signed char>(c) <= 32; }

// The motion codes of the other dialects' motion group; G80 ends it.
bool IsTheirMotion(int32_t g) { return (g >= 0 && g <= 3) || g == 73 || (g >= 81 && g <= 89); }
// M codes the interpreter accepts on a line with a G code.
bool GoesWithG(int32_t m) { return (m >= 3 && m <= 5) || (m >= 7 && m <= 9); }

// The reader only reads: nothing reaches a front end.
class NullFrontEnd : public FrontEnd {
 public:
  void AddLine(const Coordinates&, double, bool, const Condition*, bool) override {}
  void AddArc(const Coordinates&, const double*, double, int32_t, bool) override {}
  void AddCmd(const StateChange&) override {}
};

// Where comments lie in a line as our word reader sees them: a comment runs
// from '(' to the next ')' and may continue onto the following lines.
struct CommentScan {
  size_t prefixEnd = 0;    // a comment continued from the line before ends here (after its ')')
  bool allComment = false;  // that comment fills the whole line
  size_t openAt = kNone;   // a comment that continues onto the next line begins here
  size_t firstCode = kNone;
  bool EndsInComment() const { return allComment || openAt != kNone; }
};

// semicolonEnds: read ';' as the other dialects do (the rest is a comment).
CommentScan ScanComments(const char* p, size_t n, bool inComment, bool semicolonEnds) {
  CommentScan s;
  size_t i = 0;
  if (inComment) {
    while (i < n && p[i] != ')') ++i;
    if (i == n) {
      s.allComment = true;
      s.prefixEnd = n;
      return s;
    }
    s.prefixEnd = ++i;
  }
  while (i < n) {
    const char c = p[i];
    if (IsSkipped(c)) {
      ++i;
    } else if (c == '(') {
      const void* close = std::memchr(p + i, ')', n - i);
      if (!close) {
        s.openAt = i;
        return s;
      }
      i = static_cast<const char*>(close) - p + 1;
    } else if (c == ';' && semicolonEnds) {
      return s;
    } else {
      if (s.firstCode == kNone) s.firstCode = i;
      if (c == '"') {
        // Strings of statements (PRINT, CALL) may hold any character.
        for (++i; i < n && p[i] != '"'; ++i)
          if (p[i] == '\\') ++i;
      }
      ++i;
    }
  }
  return s;
}

enum : uint32_t {
  kSemicolon = 1u << static_cast<int>(AdaptChange::SemicolonComment),
  kNested = 1u << static_cast<int>(AdaptChange::NestedComment),
  kBlank = 1u << static_cast<int>(AdaptChange::BlankAfterLetter),
  kLower = 1u << static_cast<int>(AdaptChange::LowerCase),
};

// Byte classes of the rewriting loop; most bytes of a program are plain.
enum ByteClass : uint8_t { PLAIN, UPPER, LOWER, OPEN, SEMICOLON, QUOTE, OURS };
struct ByteClasses {
  uint8_t of[256];
  constexpr ByteClasses() : of() {
    for (int c = 'A'; c <= 'Z'; ++c) of[c] = UPPER;
    for (int c = 'a'; c <= 'z'; ++c) of[c] = LOWER;
    of[static_cast<int>('(')] = OPEN;
    of[static_cast<int>(';')] = SEMICOLON;
    of[static_cast<int>('"')] = QUOTE;
    of[static_cast<int>('=')] = of[static_cast<int>('#')] = of[static_cast<int>('[')] = OURS;
  }
};
constexpr ByteClasses kClass;

struct LineShape {
  CommentScan scan;        // as our reader sees the line; valid when `exact`
  bool exact = true;       // false after ';' or nested parentheses: ScanComments
  bool maybeOurs = false;  // statement keywords and function names, '=', '#', '[', strings
};

// Rewrites a line as the other dialects read it into `out` (only when
// something changes); returns the kinds of change made. `shape.maybeOurs`
// is set when the line holds what only our own dialect writes outside
// comments, so that a change there needs a check.
uint32_t Normalise(const char* p, size_t n, bool inComment, std::string& out, LineShape& shape) {
  out.clear();
  shape = LineShape();
  CommentScan& scan = shape.scan;
  uint32_t kinds = 0;
  size_t i = 0, kept = 0;  // p[0..kept) is in out
  auto upTo = [&](size_t at) {
    out.append(p + kept, at - kept);
    kept = at;
  };
  auto withoutParentheses = [&](size_t from, size_t to) {
    out += '(';
    for (size_t k = from; k < to; ++k)
      if (p[k] != '(' && p[k] != ')') out += p[k];
    out += ')';
  };
  if (inComment) {
    const void* close = std::memchr(p, ')', n);
    i = scan.prefixEnd = close ? static_cast<const char*>(close) - p + 1 : n;
    scan.allComment = !close;
  }
  while (i < n) {
    const size_t run = i;
    while (i < n && kClass.of[static_cast<uint8_t>(p[i])] == PLAIN) ++i;
    if (scan.firstCode == kNone)
      for (size_t k = run; k < i; ++k)
        if (!IsSkipped(p[k])) {
          scan.firstCode = k;
          break;
        }
    if (i == n) break;
    const char c = p[i];
    const uint8_t cls = kClass.of[static_cast<uint8_t>(c)];
    if (cls != OPEN && scan.firstCode == kNone) scan.firstCode = i;
    switch (cls) {
      case OPEN: {
        // A comment that closes on this line when parentheses nest.
        int depth = 0;
        bool inner = false;
        size_t j = i;
        for (; j < n; ++j) {
          if (p[j] == '(') {
            inner |= depth > 0;
            ++depth;
          } else if (p[j] == ')' && --depth == 0) {
            break;
          }
        }
        if (j < n && inner) {
          upTo(i);
          withoutParentheses(i + 1, j);
          kinds |= kNested;
          shape.exact = false;
          i = kept = j + 1;
          break;
        }
        // Otherwise as our reader sees it: to the first ')', or on to the next line.
        const void* close = std::memchr(p + i, ')', n - i);
        if (!close) {
          scan.openAt = i;
          i = n;
        } else {
          i = static_cast<const char*>(close) - p + 1;
        }
        break;
      }
      case SEMICOLON:
        upTo(i);
        withoutParentheses(i + 1, n);
        kept = n;
        shape.exact = false;
        return kinds | kSemicolon;
      case QUOTE:
        shape.maybeOurs = true;
        for (++i; i < n && p[i] != '"'; ++i)
          if (p[i] == '\\') ++i;
        i = std::min(n, i + 1);
        break;
      case UPPER:
      case LOWER: {
        if (i > 0 && IsLetter(p[i - 1])) shape.maybeOurs = true;
        if (cls == LOWER) {
          upTo(i);
          out += static_cast<char>(c - 'a' + 'A');
          kept = i + 1;
          kinds |= kLower;
        }
        size_t k = ++i;
        while (k < n && IsBlank(p[k])) ++k;
        if (k > i && k < n && StartsNumber(p[k])) {
          upTo(i);
          kept = i = k;
          kinds |= kBlank;
        }
        break;
      }
      default:  // OURS
        shape.maybeOurs = true;
        ++i;
    }
  }
  if (kinds) upTo(n);
  return kinds;
}

constexpr uint32_t Bit(char c) { return 1u << (c - 'A'); }

bool Near(double a, double b) { return std::fabs(a - b) < 1e-9; }

std::string FormatG(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "G%.4g", v);
  return buf;
}

struct NullFrontEndHolder {
  NullFrontEnd front;  // a base, so that it exists before the parser is built on it
};

}  // namespace

// The interpreter's word reader over one line held outside the program store.
class LineWordReader : private NullFrontEndHolder, public MacroParser {
 public:
  LineWordReader() : MacroParser(&front, nullptr) {}
  // A reader whose store holds `text`, standing on its first line.
  explicit LineWordReader(const std::string& text) : MacroParser(&front, nullptr, text) {}
  // The line must end with NUL, CR or LF. Its number keeps the one-dialog-
  // per-line check of the ASK statements apart from line to line.
  void Start(const char* line, int32_t number) {
    ResetErrorRecord();
    linePtr = line;
    column = tokenColumn = 0;
    lineNumber = number;
    endOfLine = *line == 0 || *line == '\r' || *line == '\n';
    keywordsSeen = 0;
  }
  // The next word, a statement with its arguments, as a line is parsed.
  bool ReadWord(Word& w) {
    if (!GetWord(w)) return false;
    if (w.code < 'A') {
      keywordsSeen |= 1u << w.code;
      if (w.code != STMT_ASSIGN) ParseStatement(w.code);
    }
    return true;
  }
};

// ---------------------------------------------------------------------------
// The report

bool AdaptReport::Changed() const {
  for (const auto& lines : changes)
    if (!lines.empty()) return true;
  return false;
}

bool AdaptReport::Repairs(int32_t errorCode, int32_t line) const {
  if (Refused() || !ProgramAdapter::MayRepair(errorCode)) return false;
  if (errorCode == ERR_PERCENT_MISSING) return !Lines(AdaptChange::PercentAdded).empty();
  for (size_t k = 1; k < kChanges; ++k)
    if (std::binary_search(changes[k].begin(), changes[k].end(), line)) return true;
  return false;
}

namespace {

std::string LineList(const std::vector<int32_t>& lines) {
  std::string s = lines.size() == 1 ? "line " : "lines ";
  for (size_t k = 0; k < lines.size() && k < kLinesNamed; ++k) s += (k ? ", " : "") + std::to_string(lines[k]);
  if (lines.size() > kLinesNamed) s += ", ...";
  return s;
}

std::string Counted(const std::vector<int32_t>& lines, const char* what) {
  return std::to_string(lines.size()) + " " + what + ", first line " + std::to_string(lines.front());
}

}  // namespace

std::vector<std::string> AdaptReport::Text() const {
  std::vector<std::string> out;
  if (Refused()) {
    for (const AdaptRefusal& r : refusals)
      out.push_back("refused: line " + std::to_string(r.line) + " column " + std::to_string(r.column) + ": " +
                    r.reason);
    if (refusedLines > static_cast<int32_t>(refusals.size()))
      out.push_back("refused: " + std::to_string(refusedLines - refusals.size()) + " more lines");
    return out;
  }
  using C = AdaptChange;
  if (!Lines(C::PercentAdded).empty()) out.push_back("added '%' line: line numbers shift by one");
  const struct {
    C kind;
    const char* what;
  } counted[] = {
      {C::SemicolonComment, "';' comments -> ( )"},
      {C::NestedComment, "comments with nested parentheses flattened"},
      {C::BlankAfterLetter, "lines with blanks after address letters removed"},
      {C::LowerCase, "lines with lower-case letters upper-cased"},
      {C::CentreMode, centreAbsolute ? "G90.1 removed (agrees with CenterAbs=1)" : "G91.1 removed (agrees with CenterAbs=0)"},
      {C::RapidF0, "F0 removed from rapid moves"},
  };
  for (const auto& c : counted)
    if (!Lines(c.kind).empty()) out.push_back(Counted(Lines(c.kind), c.what));
  const struct {
    C kind;
    const char* what;
  } named[] = {
      {C::MotionAfterNonModal, "axis-only lines after a line that ends the modal motion given their motion code"},
      {C::MotionAfterDwell, "axis-only lines after a dwell given their motion code"},
  };
  for (const auto& c : named)
    if (!Lines(c.kind).empty())
      out.push_back(std::to_string(Lines(c.kind).size()) + " " + c.what + ": " + LineList(Lines(c.kind)));
  if (!Lines(C::PercentComment).empty())
    out.push_back(Counted(Lines(C::PercentComment), "'%' lines the program would read made comments"));
  using N = AdaptNote;
  if (!Lines(N::FeedF0).empty())
    out.push_back("note: F0 left in place where no rapid move is (the program gives no feed there): " +
                  LineList(Lines(N::FeedF0)));
  if (!Lines(N::ClosingPercent).empty())
    out.push_back("note: the closing '%' on line " + std::to_string(Lines(N::ClosingPercent).front()) +
                  " is kept: the program ends before it, on line " + std::to_string(programEndLine));
  const std::vector<int32_t>& longs = Lines(N::LongComment);
  if (!longs.empty())
    out.push_back("note: " + std::to_string(longs.size()) + " comments run over several lines (not read), first lines " +
                  std::to_string(longs.front()) + " to " + std::to_string(longCommentEnds.front()));
  return out;
}

// ---------------------------------------------------------------------------
// The adapter

namespace {

// Codes that depend on values or on the machine, not on how the line is
// written: such a line is left as it is, for the interpreter to report.
bool IsValueError(int32_t code) {
  return code == ERR_AXIS_NOT_SUPPORTED || code == ERR_NUMBER_RANGE || code == ERR_INDEX_RANGE ||
         code == ERR_DIVISION_BY_ZERO || code == -1047;
}

// Splits as the program store does: CR LF is one line end, a lone CR or LF
// is one; a last line without an end counts unless it is empty.
template <class F>
void ForEachLine(std::string_view text, F&& f) {
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
    const char* q = lf ? static_cast<const char*>(lf) : end;
    if (const void* cr = std::memchr(p, '\r', static_cast<size_t>(q - p))) q = static_cast<const char*>(cr);
    size_t ending = 0;
    if (q < end) ending = *q == '\r' && q + 1 < end && q[1] == '\n' ? 2 : 1;
    if (!f(p, static_cast<size_t>(q - p), ending)) return;
    p = q + ending;
  }
}

// The reader stops at a NUL byte: what follows it on the line is never read.
size_t VisibleLength(const char* p, size_t n) {
  const void* nul = std::memchr(p, 0, n);
  return nul ? static_cast<size_t>(static_cast<const char*>(nul) - p) : n;
}

struct ReadWord {
  int32_t code;  // address letter or statement code
  double value;
  int32_t begin, end;  // columns
  bool formula;        // "X=...": the value is known only when the program runs
};

class AdaptRun {
 public:
  AdaptRun(const AdaptSettings& settings, LineWordReader& reader, const std::function<void(size_t, size_t)>& progress)
      : m_settings(settings), m_reader(reader), m_progress(progress) {}

  AdaptReport Run(std::string_view program, std::string& out) {
    m_text = program;
    FindStart(program);
    out.clear();
    out.reserve(program.size() + program.size() / 8 + 8);
    if (m_addPercent) {
      out += '%';
      out += m_firstEnding;
      m_line = 1;
      Change(AdaptChange::PercentAdded);
      m_line = 0;
    }
    m_inComment = false;
    size_t done = 0;
    ForEachLine(program, [&](const char* p, size_t n, size_t ending) {
      DoLine(p, n, out);
      out.append(p + n, ending);
      done += n + ending;
      if (m_progress && m_line % kProgressLines == 0) m_progress(done, program.size());
      return true;
    });
    if (m_inComment) {
      m_line = m_commentFrom;
      Refuse(0, "the comment that begins on this line is never closed", "");
    }
    if (m_report.Refused()) out.clear();
    return std::move(m_report);
  }

 private:
  // Where execution will start: after a '%' line that comes before the
  // first line with code, or else after a '%' line added before the first.
  // A line is code when it reads into words, as written or as the other
  // dialects write it; text before a '%' that starts the program is not.
  void FindStart(std::string_view program) {
    bool inComment = false;
    int32_t codeLine = 0;
    size_t searched = program.size();  // the '%' that counts comes before the first code
    m_firstEnding = "\n";
    m_line = 0;
    ForEachLine(program, [&](const char* p, size_t n, size_t ending) {
      if (++m_line == 1 && ending) m_firstEnding.assign(p + n, ending);
      const size_t vis = VisibleLength(p, n);
      const CommentScan scan = ScanComments(p, vis, inComment, true);
      const bool wasInComment = inComment;
      inComment = scan.EndsInComment();
      size_t first = scan.firstCode;
      if (first == kNone) {
        // Code after nested parentheses that hold a ';' (the adaptation
        // reads them as one comment).
        LineShape shape;
        Normalise(p, vis, wasInComment, m_norm, shape);
        first = shape.scan.firstCode;
      }
      if (first == kNone || p[first] == '%') return true;
      if (!ReadsAsCode(p, vis, wasInComment)) return true;
      codeLine = m_line;
      searched = static_cast<size_t>(p + n - program.data());
      return false;
    });
    // The interpreter's own search for the start.
    int32_t percentLine = 0;
    FileParser search{std::string(program.substr(0, searched))};
    try {
      search.SkipToKeyword("%");
      percentLine = search.lineNumber;
    } catch (const Error_t&) {
    }
    m_skipTargets.clear();  // a SKIP only jumps forward
    m_addPercent = codeLine && !percentLine;
    m_startLine = percentLine;
    m_line = 0;
  }

  bool ReadsAsCode(const char* p, size_t n, bool inComment) {
    CommentScan scan = ScanComments(p, n, inComment, false);
    if (ReadLine(p, n, scan) || IsValueError(m_errorCode)) return true;
    LineShape shape;
    if (!Normalise(p, n, inComment, m_norm, shape)) return false;
    scan = ScanComments(m_norm.data(), m_norm.size(), inComment, false);
    return ReadLine(m_norm.data(), m_norm.size(), scan) || IsValueError(m_errorCode);
  }

  void DoLine(const char* p, size_t n, std::string& out) {
    ++m_line;
    const size_t vis = VisibleLength(p, n);
    const bool wasInComment = m_inComment;
    const char* src = p;
    size_t srcLen = vis;
    LineShape shape;
    uint32_t kinds = Normalise(src, srcLen, wasInComment, m_norm, shape);
    // How our reader sees the line as it stands.
    auto ourScan = [&] { return shape.exact ? shape.scan : ScanComments(src, srcLen, wasInComment, false); };
    const size_t first = shape.scan.firstCode;
    bool verbatim = m_line <= m_startLine;  // the interpreter does not read up to the start line
    // After a comment that began on a line before, the text is read as the
    // rest of that line: it is neither a '%' line nor a label.
    const bool continued = wasInComment;
    if (!verbatim && !continued && first != kNone && p[first] == '%' && IsPercentLine(p, vis, ourScan())) {
      if (m_programEnd || m_afterFlowEnd) {
        // Not read in order: after the end, or after a return or a jump.
        if (m_programEnd) {
          Note(AdaptNote::ClosingPercent);
          m_report.programEndLine = m_programEnd;
        }
        verbatim = true;
      } else {
        m_work.assign(p, first);
        m_work += "(%)";
        m_work.append(p + first + 1, vis - first - 1);
        Change(AdaptChange::PercentComment);
        src = m_work.data();
        srcLen = m_work.size();
        kinds = Normalise(src, srcLen, wasInComment, m_norm, shape);
      }
    }
    if (verbatim) {
      TrackComment(ourScan());
      // Reading starts afresh on the line after the start.
      if (m_line == m_startLine) m_inComment = false;
      out.append(p, n);
      return;
    }

    const char* cand = src;
    size_t candLen = srcLen;
    CommentScan candScan = shape.scan;
    bool read = false, readOk = false;
    // Our own dialect writes ';', lower case and the like inside statements.
    if (kinds && shape.maybeOurs) {
      candScan = ourScan();
      read = true;
      readOk = ReadLine(src, srcLen, candScan);
      if (readOk) kinds = 0;
    }
    if (kinds) {
      read = false;
      cand = m_norm.data();
      candLen = m_norm.size();
      candScan = ScanComments(cand, candLen, wasInComment, false);
    }
    if (!read) readOk = ReadLine(cand, candLen, candScan);
    if (!readOk && !continued && !IsValueError(m_errorCode) && IsLabelLine(src, srcLen, ourScan())) {
      // Jumps and calls enter here from elsewhere: the modal motion is unknown.
      TrackComment(ourScan());
      out.append(src, srcLen);
      out.append(p + vis, n - vis);
      m_ourMotion = m_theirMotion = -1;
      m_afterFlowEnd = false;
      return;
    }
    if (kinds) RecordKinds(kinds);
    TrackComment(candScan);
    if (!readOk) {
      if (IsValueError(m_errorCode)) {
        out.append(cand, candLen);
      } else {
        Refuse(m_errorColumn, ReasonFor(cand, candLen), std::string(cand, candLen));
      }
    } else if (continued) {
      // The words join those of the line the comment began on: no rule
      // that looks at a whole line applies to them alone. A G90.1 or
      // G91.1 among them would still read as G90/G91.
      m_removals.clear();
      m_insertAt = kNone;
      for (const ReadWord& w : m_words)
        if (w.code == 'G' && !w.formula && w.value != std::trunc(w.value)) CentreMode(w);
      Emit(cand, candLen, out);
    } else {
      ApplyRules(cand, candLen, out);
    }
    out.append(p + vis, n - vis);
  }

  bool IsAxis(char c) const {
    constexpr uint32_t kAxes = Bit('X') | Bit('Y') | Bit('Z') | Bit('A') | Bit('B') | Bit('C') | Bit('U') | Bit('W');
    return ((kAxes | (m_settings.vIsAxis ? Bit('V') : 0)) >> (c - 'A')) & 1u;
  }

  void RecordKinds(uint32_t kinds) {
    for (int k = 0; k < static_cast<int>(AdaptChange::Count); ++k)
      if (kinds & (1u << k)) Change(static_cast<AdaptChange>(k));
  }

  // A line that begins with a name is a label of our dialect when a SKIP
  // names it or when it follows the end of the program or of a called
  // section (M2, M30, M99, RETURN, EXIT, SKIP): it is never read from its
  // start, only jumped or called to.
  bool IsLabelLine(const char* p, size_t n, const CommentScan& scan) {
    MakeLexCopy(p, n, scan);
    m_reader.Start(m_lexText, m_line);
    try {
      m_reader.SkipSpaceAndComments();
      if (!m_reader.GetName(m_name)) return false;
    } catch (const Error_t&) {
      return false;
    }
    const bool label =
        m_afterFlowEnd || std::find(m_skipTargets.begin(), m_skipTargets.end(), m_name) != m_skipTargets.end();
    // Reading goes on after the label.
    return label && ReadWords(m_reader);
  }

  void TrackComment(const CommentScan& scan) {
    const bool now = scan.EndsInComment();
    if (!m_inComment && now) m_commentFrom = m_line;
    if (m_inComment && !now) {
      const int32_t last = m_line;
      std::swap(m_line, m_commentFrom);
      Note(AdaptNote::LongComment);
      m_report.longCommentEnds.push_back(last);
      std::swap(m_line, m_commentFrom);
    }
    m_inComment = now;
  }

  std::string ReasonFor(const char* cand, size_t n) const {
    const std::string_view line(cand, n);
    for (const ReadWord& w : m_words)
      if (w.code == 'O') return "O-word subroutines and program numbers cannot be mapped";
    const CommentScan scan = ScanComments(cand, n, false, false);
    if (scan.firstCode != kNone && cand[scan.firstCode] == 'O')
      return "O-word subroutines and program numbers cannot be mapped";
    if (line.find('[') != std::string_view::npos || line.find("#<") != std::string_view::npos)
      return "an expression of another control's dialect cannot be mapped";
    return "cannot be read here: " + ErrorText(Error_t(m_errorCode));
  }

  // The modal and value rules on the words of a line that reads cleanly.
  void ApplyRules(const char* cand, size_t len, std::string& out) {
    m_removals.clear();
    m_insertAt = kNone;
    int32_t lineG = -1, mCode = -1, firstWord = -1, oColumn = 0;
    bool axis = false, others = false, statement = false, oWord = false, onlyLabel = true;
    bool flowEnd = false, unknownG = false;
    for (size_t k = 0; k < m_words.size(); ++k) {
      const ReadWord& w = m_words[k];
      flowEnd |= w.code == STMT_EXIT || w.code == STMT_SKIP ||
                 (w.code == 'M' && (w.value == 2 || w.value == 30 || w.value == 99));
      if (w.code < 'A') {
        // Statements other than assignments and UNTIL make up the whole line.
        statement |= w.code != STMT_ASSIGN && w.code != STMT_UNTIL;
        onlyLabel = false;
        continue;
      }
      const char c = static_cast<char>(w.code);
      if (c != 'N' && firstWord < 0) firstWord = static_cast<int32_t>(k);
      if (c != 'N' && c != 'O') onlyLabel = false;
      if (c == 'G' && w.formula) {
        unknownG = true;
      } else if (c == 'G') {
        if (w.value != std::trunc(w.value)) {
          CentreMode(w);
          continue;
        }
        const int32_t g = ToInt(w.value);
        if (lineG < 0 && IsLineGCode(g)) lineG = g;
      } else if (c == 'O') {
        if (!oWord) oColumn = w.begin;
        oWord = true;
      } else if (c != 'N') {
        if (c == 'M') mCode = ToInt(w.value);
        if (IsAxis(c)) axis = true;
        else others = true;
      }
    }
    if (!m_words.empty()) m_afterFlowEnd = flowEnd;
    if (oWord && !(onlyLabel && m_programEnd)) {
      // A bare O number after the program's end is a label that M98 calls.
      Refuse(oColumn, "O-word subroutines and program numbers cannot be mapped", std::string(cand, len));
      return;
    }
    if (oWord) m_ourMotion = m_theirMotion = -1;  // entered from an M98 elsewhere
    if (statement || oWord) {
      Emit(cand, len, out);
      return;
    }

    int32_t motion = -1;  // the motion this line makes
    if (unknownG) {
      m_ourMotion = m_theirMotion = -1;  // decided when the program runs
    } else if (lineG >= 0) {
      motion = lineG;
      m_ourMotion = IsModalMotion(lineG) ? lineG : -1;
      if (IsTheirMotion(lineG)) m_theirMotion = lineG;
      if (lineG == 80) m_theirMotion = -1;
    } else if (axis) {
      if (m_theirMotion >= 0 && m_ourMotion != m_theirMotion) {
        if (mCode >= 0 && !GoesWithG(mCode)) {
          Refuse(m_words[firstWord].begin,
                 "axis words with M" + std::to_string(mCode) + " after a line that ends the modal motion: a motion "
                 "code cannot be added to this line", std::string(cand, len));
          return;
        }
        m_insertAt = static_cast<size_t>(m_words[firstWord].begin);
        m_insert = "G" + std::to_string(m_theirMotion);
        if (m_insertAt == 0 || IsSkipped(cand[m_insertAt - 1])) m_insert += ' ';
        Change(m_ourMotion == 4 ? AdaptChange::MotionAfterDwell : AdaptChange::MotionAfterNonModal);
        m_ourMotion = m_theirMotion;
      } else if (m_ourMotion == 4) {
        Refuse(m_words[firstWord].begin,
               "axis words after a dwell with no motion code in force: they would make another dwell, not a move",
               std::string(cand, len));
        return;
      }
      motion = m_ourMotion;
    } else if (others) {
      // M3, F200 and the like alone end the modal motion here.
      m_ourMotion = -1;
    }
    for (const ReadWord& w : m_words) {
      if (w.code != 'F' || w.formula || w.value != 0) continue;
      if (motion == 0) {
        m_removals.push_back(w);
        Change(AdaptChange::RapidF0);
      } else {
        Note(AdaptNote::FeedF0);
      }
    }
    if (mCode == 2 || mCode == 30) m_programEnd = m_programEnd ? m_programEnd : m_line;
    Emit(cand, len, out);
  }

  // G90.1 and G91.1 set the arc-centre mode that is a machine setting here.
  void CentreMode(const ReadWord& w) {
    const bool absolute = Near(w.value, 90.1);
    if (!absolute && !Near(w.value, 91.1)) {
      char reason[160];
      std::snprintf(reason, sizeof reason, "%s has no equivalent here (it would read as G%d)", FormatG(w.value).c_str(),
                    ToInt(w.value));
      Refuse(w.begin, reason, "");
      return;
    }
    if (absolute != m_settings.centerAbs) {
      Refuse(w.begin,
             absolute ? "G90.1 (arc centres absolute) does not agree with the machine setting CenterAbs=0: set "
                        "CenterAbs=1 to run this program"
                      : "G91.1 (arc centres relative to the start) does not agree with the machine setting "
                        "CenterAbs=1: set CenterAbs=0 to run this program",
             "");
      return;
    }
    m_removals.push_back(w);
    m_report.centreAbsolute = absolute;
    Change(AdaptChange::CentreMode);
  }

  // Writes the line with the removals and the insertion; a removed word
  // takes one neighbouring blank along.
  void Emit(const char* cand, size_t len, std::string& out) {
    if (m_removals.empty() && m_insertAt == kNone) {
      out.append(cand, len);
      return;
    }
    size_t pos = 0;
    bool inserted = m_insertAt == kNone;
    auto insert = [&] {
      out.append(cand + pos, m_insertAt - pos);
      out += m_insert;
      pos = m_insertAt;
      inserted = true;
    };
    // The rules find their words in their own order.
    std::sort(m_removals.begin(), m_removals.end(),
              [](const ReadWord& x, const ReadWord& y) { return x.begin < y.begin; });
    for (const ReadWord& r : m_removals) {
      size_t b = std::max(static_cast<size_t>(r.begin), pos), e = std::max(static_cast<size_t>(r.end), b);
      if (!inserted && m_insertAt <= b) insert();
      if (b > pos && IsBlank(cand[b - 1])) --b;
      else if (e < len && IsBlank(cand[e])) ++e;
      out.append(cand + pos, b - pos);
      pos = e;
    }
    if (!inserted) insert();
    out.append(cand + pos, len - pos);
  }

  bool IsPercentLine(const char* p, size_t n, const CommentScan& scan) {
    MakeLexCopy(p, n, scan);
    m_reader.Start(m_lexText, m_line);
    try {
      m_reader.SkipToKeyword("%");
      return true;
    } catch (const Error_t&) {
      return false;
    }
  }

  // The line as the word reader gets it: a comment continued from the line
  // before blanked, one that continues onto the next line cut off. A line
  // without either is read where it is when a line end follows it.
  void MakeLexCopy(const char* p, size_t n, const CommentScan& scan) {
    const bool inText = p >= m_text.data() && p < m_text.data() + m_text.size();
    if (scan.prefixEnd == 0 && scan.openAt == kNone && (!inText || p + n < m_text.data() + m_text.size())) {
      m_lexText = p;
      return;
    }
    m_lexCopy.assign(p, scan.openAt != kNone ? scan.openAt : n);
    std::fill_n(m_lexCopy.begin(), std::min(scan.prefixEnd, m_lexCopy.size()), ' ');
    m_lexText = m_lexCopy.c_str();
  }

  // Reads a line's words as the interpreter does; false with the error code
  // and column when it cannot. Where a comment may run on past the line's
  // end, a reader whose store holds the line and then a line ")" tells
  // whether the interpreter takes that '(' for a comment (which then runs
  // onto the next line) or for a bracket of a formula.
  bool ReadLine(const char* p, size_t n, CommentScan& scan) {
    if (scan.openAt == kNone) {
      MakeLexCopy(p, n, scan);
      m_reader.Start(m_lexText, m_line);
      return ReadWords(m_reader);
    }
    m_acrossText.assign(p, n);
    std::fill_n(m_acrossText.begin(), std::min(scan.prefixEnd, n), ' ');
    m_acrossText += "\n)";
    m_lexText = m_acrossText.c_str();
    LineWordReader across(m_acrossText);
    const bool ok = ReadWords(across);
    if (ok && across.lineNumber == 1) scan.openAt = kNone;
    return ok;
  }

  // The words of m_lexText from where the reader stands.
  bool ReadWords(LineWordReader& reader) {
    m_words.clear();
    try {
      for (;;) {
        reader.SkipSpaceAndComments();
        if (reader.endOfLine) return true;
        const int32_t begin = reader.column;
        Word w;
        if (!reader.ReadWord(w)) return true;
        const bool formula = w.code >= 'A' && m_lexText[begin + 1] == '=';
        m_words.push_back({w.code, w.value, begin, reader.column, formula});
        if (w.code == STMT_SKIP) SkipTarget(begin + 4, reader.column);
      }
    } catch (const Error_t& e) {
      m_errorCode = e.code;
      m_errorColumn = reader.errorColumn;
    }
    return false;
  }

  void SkipTarget(size_t from, size_t to) {
    while (from < to && IsSkipped(m_lexText[from])) ++from;
    const std::string name(m_lexText + from, to - from);
    if (std::find(m_skipTargets.begin(), m_skipTargets.end(), name) == m_skipTargets.end())
      m_skipTargets.push_back(name);
  }

  void Change(AdaptChange kind) { Add(m_report.changes[static_cast<size_t>(kind)]); }
  void Note(AdaptNote kind) { Add(m_report.notes[static_cast<size_t>(kind)]); }
  void Add(std::vector<int32_t>& lines) {
    if (lines.empty() || lines.back() != m_line) lines.push_back(m_line);
  }
  void Refuse(int32_t column, std::string reason, std::string text) {
    if (++m_report.refusedLines <= kRefusalsKept)
      m_report.refusals.push_back({m_line, column, std::move(reason), std::move(text)});
  }

  const AdaptSettings& m_settings;
  LineWordReader& m_reader;
  const std::function<void(size_t, size_t)>& m_progress;
  AdaptReport m_report;

  int32_t m_line = 0;
  int32_t m_startLine = 0;   // the '%' line execution starts after (0: added)
  bool m_addPercent = false;
  std::string m_firstEnding;
  bool m_inComment = false;  // a comment continues from the line before
  int32_t m_commentFrom = 0;
  int32_t m_ourMotion = -1;    // the modal motion code the interpreter holds
  int32_t m_theirMotion = -1;  // the motion code in force in the program's own dialect
  int32_t m_programEnd = 0;    // the first M2/M30 line
  bool m_afterFlowEnd = false; // the last line with words ended the flow (M2, M30, M99, EXIT, SKIP)
  std::vector<std::string> m_skipTargets;
  std::string m_name;

  std::vector<ReadWord> m_words;
  int32_t m_errorCode = 0, m_errorColumn = 0;
  std::vector<ReadWord> m_removals;
  size_t m_insertAt = kNone;
  std::string m_insert;
  std::string m_norm, m_work, m_lexCopy, m_acrossText;
  std::string_view m_text;   // the program
  const char* m_lexText = nullptr;  // what the word reader reads
};

}  // namespace

AdaptReport ProgramAdapter::Adapt(std::string_view program, std::string& out) {
  return AdaptRun(m_settings, *m_reader, m_progress).Run(program, out);
}

ProgramAdapter::ProgramAdapter(const AdaptSettings& settings)
    : m_settings(settings), m_reader(std::make_unique<LineWordReader>()) {}

ProgramAdapter::~ProgramAdapter() = default;

bool ProgramAdapter::AdaptFile(const std::string& path, std::string& out, AdaptReport& report, std::string& error) {
  std::string program;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !ReadProgramFile(path, program)) {
    error = "cannot read " + path;
    return false;
  }
  report = Adapt(program, out);
  return true;
}

bool ProgramAdapter::MayRepair(int32_t code) {
  switch (code) {
    case ERR_PERCENT_MISSING:
    case ERR_UNEXPECTED_CHAR:
    case ERR_NUMBER_EXPECTED:
    case -1016:             // line contains multiple G-commands (G91.1 reads as G91)
    case -1036:             // modal G code is ambiguous (after G28, G92, M3 alone ...)
    case ERR_NUMBER_RANGE:  // F0 on a rapid move
      return true;
    default:
      return false;
  }
}

std::string ProgramAdapter::AdaptedCopyName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  const std::string stem = hasExt ? path.substr(0, dot) : path;
  const std::string ext = hasExt ? path.substr(dot) : "";
  for (int n = 1;; ++n) {
    const std::string name = stem + "_adapted" + (n > 1 ? std::to_string(n) : "") + ext;
    struct stat st;
    if (stat(name.c_str(), &st) != 0) return name;
  }
}

AdaptSettings AdaptSettingsOf(const MachineConfig& config) {
  AdaptSettings s;
  s.centerAbs = config.centerAbs;
  s.vIsAxis = config.machineType != 5;  // the hot-wire type has no V axis
  return s;
}

bool ReadProgramFile(const std::string& path, std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  bytes.clear();
  char buf[1 << 16];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, got);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}
