// ProgramAdapter: rewrites a part program written for another control's
// G-code dialect (as CAM post-processors often produce it) into ours, line
// for line, and reports every change. It never guesses: a construct that
// has no safe equivalent here refuses the whole program, with the line and
// the reason, and the operator decides.
//
// What it changes:
// - a '%' line before the first line when no '%' line comes before the
//   first line with code (execution starts after it);
// - ';' comments into ( ) comments, and parentheses inside a comment removed
//   so that comments never nest;
// - blanks between an address letter and its number, lower-case letters
//   outside comments;
// - G90.1/G91.1 (arc-centre mode) removed when they agree with the
//   machine's CenterAbs, refused otherwise;
// - F0 removed from rapid moves (left, and reported, on other lines);
// - an axis-only line after a line that ends the modal motion here (G10,
//   G28, G92, ...; M, S, F or T words without a move) or after a dwell (G4
//   stays modal here, so its move would become another dwell) gets the
//   motion code that was in force before;
// - a '%' line that the program would read (nothing ends it before) becomes
//   a comment.
// Every output line stands for the input line of the same number, except
// the added '%' line. Lines are read with the interpreter's own word reader
// (its variables are those of actState when the adapter is made); a line
// that still cannot be read after the changes refuses the program. Lines of
// our own dialect (statements, formulas, labels) are left as they are.
//
// An adapter is used by one thread at a time; it is headless, so the
// application calls it for a program whose loading failed with an error
// MayRepair accepts, shows AdaptReport::Text and loads the copy under
// AdaptedCopyName.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class MachineConfig;

// The machine settings the adaptation depends on.
struct AdaptSettings {
  bool centerAbs = false;  // the machine's CenterAbs: I, J, K are absolute arc centres
  bool vIsAxis = true;     // V is an axis word (not on the hot-wire machine type)
};
AdaptSettings AdaptSettingsOf(const MachineConfig& config);

enum class AdaptChange : int {
  PercentAdded,         // a '%' line before the first line
  SemicolonComment,     // "; text" -> "( text)"
  NestedComment,        // "(a (b) c)" -> "(a b c)"
  BlankAfterLetter,     // "Y 155.953" -> "Y155.953"
  LowerCase,            // "g1 x5" -> "G1 X5"
  CentreMode,           // G90.1/G91.1 that agrees with CenterAbs removed
  RapidF0,              // F0 removed from a rapid move
  MotionAfterNonModal,  // axis-only line given the motion code again
  MotionAfterDwell,     // the same after G4
  PercentComment,       // '%' inside the program -> "(%)"
  Count
};

enum class AdaptNote : int {
  FeedF0,          // F0 left on a line without a rapid move: the program gives no feed there
  ClosingPercent,  // the closing '%' is kept: the program ends before it
  LongComment,     // a comment runs over several lines (they are not read)
  Count
};

struct AdaptRefusal {
  int32_t line = 0;    // in the input
  int32_t column = 0;  // from 0, in `text`
  std::string reason;
  std::string text;  // the line as it reads after the changes so far (empty: as in the input)
};

struct AdaptReport {
  static constexpr size_t kChanges = static_cast<size_t>(AdaptChange::Count);
  static constexpr size_t kNotes = static_cast<size_t>(AdaptNote::Count);

  // Input line numbers (from 1) of every change and note, by kind, ascending.
  std::array<std::vector<int32_t>, kChanges> changes;
  std::array<std::vector<int32_t>, kNotes> notes;
  std::vector<AdaptRefusal> refusals;  // the first 100 refused lines
  int32_t refusedLines = 0;            // the program is refused when any
  bool centreAbsolute = false;         // which centre mode CentreMode removed (G90.1 or G91.1)
  int32_t programEndLine = 0;          // ClosingPercent: the M2/M30 line that ends the program
  std::vector<int32_t> longCommentEnds;  // LongComment: last line of each (same order)

  bool Refused() const { return refusedLines > 0; }
  bool Changed() const;
  const std::vector<int32_t>& Lines(AdaptChange kind) const { return changes[static_cast<size_t>(kind)]; }
  const std::vector<int32_t>& Lines(AdaptNote kind) const { return notes[static_cast<size_t>(kind)]; }
  // Whether the adaptation repairs a load error: code and line (in the
  // input) as the interpreter reported them.
  bool Repairs(int32_t errorCode, int32_t line) const;
  // The report as text lines: the changes, then the notes; for a refused
  // program the refusals instead of the changes.
  std::vector<std::string> Text() const;
};

class LineWordReader;

class ProgramAdapter {
 public:
  explicit ProgramAdapter(const AdaptSettings& settings = AdaptSettings());
  ~ProgramAdapter();
  ProgramAdapter(const ProgramAdapter&) = delete;
  ProgramAdapter& operator=(const ProgramAdapter&) = delete;

  // Adapts a program. `out` receives the adapted text; it is empty when the
  // program is refused, and equals the input when nothing had to change.
  AdaptReport Adapt(std::string_view program, std::string& out);
  // The same for a file; false (and `error` says why) when it cannot be read.
  bool AdaptFile(const std::string& path, std::string& out, AdaptReport& report, std::string& error);

  // Called every 65536 lines with the bytes done and the total.
  void SetProgress(std::function<void(size_t done, size_t total)> progress) { m_progress = std::move(progress); }

  // Whether an error code of loading a program is of a kind adaptation may
  // repair (then Adapt and AdaptReport::Repairs tell whether it does).
  static bool MayRepair(int32_t errorCode);
  // A name for the adapted copy beside the original that names no existing
  // file: "part.nc" -> "part_adapted.nc" (then "part_adapted2.nc", ...).
  static std::string AdaptedCopyName(const std::string& path);

 private:
  AdaptSettings m_settings;
  std::function<void(size_t, size_t)> m_progress;
  std::unique_ptr<LineWordReader> m_reader;  // made once: it copies the machine state
};

// Reads a whole file; false when it cannot be read.
bool ReadProgramFile(const std::string& path, std::string& bytes);
