// The program text store: every loaded file (the main program and each macro
// or subprogram file it calls) held in memory as NUL-terminated lines under
// one global line numbering, shared by all parsers of a run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "program/textindex.h"

// One loaded file or text; owns its bytes (line ends overwritten with NUL).
class TextFileNode {
 public:
  TextFileNode() = default;
  virtual ~TextFileNode() = default;
  TextFileNode(const TextFileNode&) = delete;
  TextFileNode& operator=(const TextFileNode&) = delete;

  std::unique_ptr<char[]> buffer;  // file length + 1 bytes
  std::string name;                // as given to LoadFile; empty for a text
  int32_t firstLine = 0;           // global number of the first text line
  int32_t lineCount = 0;           // number of text lines
};

// Every file takes a block of entries: a null entry, one entry per line, and
// a null entry that stops sequential reading at the end of the file. Entry 0
// is therefore never a text line.
class TextControl : public TextIndex {
 public:
  // errorCode values.
  enum : int32_t {
    TEXT_OK = 0,
    TEXT_CANNOT_OPEN = 1,
    TEXT_OUT_OF_MEMORY = 2,
    TEXT_END_OF_FILE = 6,
    TEXT_TOO_LARGE = 7,
    TEXT_READ_SHORT = 8,
  };

  TextControl();
  // A store holding one nameless text (operator commands, MDI).
  explicit TextControl(const std::string& text);
  ~TextControl() override;

  // Loads a file and returns the global number of its first line, or 0 on
  // failure (errorCode says why). A file already in the store is not loaded
  // again: its first line is returned.
  int32_t LoadFile(const std::string& name);
  // First line of a loaded file named `name`; a name without a path separator
  // also matches the last path component of a loaded name. 0 = not loaded.
  int32_t FindFile(const std::string& name) const;

  // Moves the cursor to line n when 0 < n < LineCount(), else to no line.
  void GotoLine(int32_t n);
  // Advances the cursor by one line; returns the new line number, or 0 with
  // errorCode 6 when the new entry is null (end of a file or of the store).
  int32_t NextLine(char** out);
  // Pointer of line n without moving the cursor; returns n, or 0 when the
  // entry is null or out of range.
  int32_t GetLine(int32_t n, char** out) const;
  // First and last line of the file that contains `line`; false (first 1,
  // last 0) when the line belongs to no file.
  bool GetFileRange(int32_t line, int32_t* first, int32_t* last) const;
  // Deletes all files, the index and the cursor (a new main program).
  void Clear() override;

  // Reference counting between the parsers of one run.
  TextControl* Share();
  // Releases the caller's reference (deleting the store on the last one) and
  // sets it to null.
  static void Abandon(TextControl*& text);

  int32_t UseCount() const { return useCount; }
  int32_t LineCount() const { return lineCount; }
  int32_t MaxLineLength() const { return maxLineLength; }
  int32_t CurrentLine() const { return currentLine; }
  char* CurrentLinePtr() const { return currentLinePtr; }
  int32_t ErrorCode() const { return errorCode; }
  const std::vector<std::unique_ptr<TextFileNode>>& Files() const { return files; }

 private:
  // Creates the node and its leading null entry; length bytes + 1 allocated.
  TextFileNode* AddNode(const std::string& name, int64_t length);
  // Splits the node's buffer in place and closes it with the trailing null.
  void SplitLines(TextFileNode* node, int64_t length);

  int32_t useCount = 1;
  std::vector<std::unique_ptr<TextFileNode>> files;
  int32_t lineCount = 0;
  int32_t maxLineLength = 0;
  char* currentLinePtr = nullptr;
  int32_t currentLine = 0;
  int32_t errorCode = 0;
};
