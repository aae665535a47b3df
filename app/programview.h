// The loaded program as the operator reads it: line numbers, the line the
// machine is executing (followed while a run goes on), the line picked for a
// run from a chosen line, and an error marked from its token column. Draws
// only the visible lines, so a program of millions of lines shows at once.
#pragma once

#include <cstdint>
#include <functional>

#include <wx/vscroll.h>

class TextControl;

class ProgramView : public wxVScrolledWindow {
 public:
  explicit ProgramView(wxWindow* parent);

  // The text to show (not owned; nullptr = none) and the global number of
  // its first line; rows are the lines of that file.
  void SetText(const TextControl* text, int32_t firstLine, int32_t lineCount);
  int32_t LineCount() const { return m_lineCount; }

  // Line numbers are 1-based within the file; 0 = none.
  void SetCurrentLine(int32_t line, bool follow);
  int32_t CurrentLine() const { return m_current; }
  void SetSelectedLine(int32_t line);
  int32_t SelectedLine() const { return m_selected; }
  // Marks `length` characters (at least one) from column (0-based).
  void SetErrorMark(int32_t line, int32_t column, int32_t length);
  void ClearErrorMark();
  int32_t ErrorLine() const { return m_errorLine; }
  int32_t ErrorColumn() const { return m_errorColumn; }
  int32_t ErrorLength() const { return m_errorLength; }
  // Brings a line into view (in the middle when it was off screen).
  void ShowLine(int32_t line);

  // Called when the operator clicks a line.
  void OnLineSelected(std::function<void(int32_t line)> handler) { m_selectedHandler = std::move(handler); }
  // Called when the operator double-clicks a line (run from it).
  void OnLineActivated(std::function<void(int32_t line)> handler) { m_activated = std::move(handler); }

  // The text of a line as shown (tabs expanded), for tests and tooltips.
  wxString LineText(int32_t line) const;
  // Where a line stands in the window; empty when it is not in view.
  wxRect LineRect(int32_t line) const;

 private:
  wxCoord OnGetRowHeight(size_t row) const override;
  void OnPaint(wxPaintEvent& event);
  void OnLeftDown(wxMouseEvent& event);
  void OnDoubleClick(wxMouseEvent& event);
  int32_t LineAt(const wxPoint& p) const;
  wxCoord GutterWidth() const;

  const TextControl* m_text = nullptr;
  int32_t m_firstLine = 0;
  int32_t m_lineCount = 0;
  int32_t m_current = 0;
  int32_t m_selected = 0;
  int32_t m_errorLine = 0;
  int32_t m_errorColumn = 0;
  int32_t m_errorLength = 0;
  wxFont m_font;
  wxCoord m_rowHeight = 16;
  wxCoord m_charWidth = 8;
  std::function<void(int32_t)> m_activated;
  std::function<void(int32_t)> m_selectedHandler;
};
