#include "app/programview.h"

#include <algorithm>

#include <wx/dcbuffer.h>
#include <wx/settings.h>

#include "program/textcontrol.h"

namespace {
const wxColour kGutterBack(238, 238, 238);
const wxColour kGutterText(130, 130, 130);
const wxColour kCurrentBack(205, 228, 255);
const wxColour kSelectedBack(255, 244, 200);
const wxColour kErrorBack(255, 225, 225);
const wxColour kErrorMark(200, 0, 0);
constexpr int kTabWidth = 4;
}  // namespace

ProgramView::ProgramView(wxWindow* parent)
    : wxVScrolledWindow(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxBORDER_THEME | wxWANTS_CHARS) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  m_font = wxFont(wxFontInfo(10).Family(wxFONTFAMILY_TELETYPE));
  SetFont(m_font);
  wxClientDC dc(this);
  dc.SetFont(m_font);
  m_charWidth = std::max(1, dc.GetCharWidth());
  m_rowHeight = dc.GetCharHeight() + 3;
  SetRowCount(0);
  Bind(wxEVT_PAINT, &ProgramView::OnPaint, this);
  Bind(wxEVT_LEFT_DOWN, &ProgramView::OnLeftDown, this);
  Bind(wxEVT_LEFT_DCLICK, &ProgramView::OnDoubleClick, this);
}

void ProgramView::SetText(const TextControl* text, int32_t firstLine, int32_t lineCount) {
  m_text = text;
  m_firstLine = firstLine;
  m_lineCount = text ? std::max(0, lineCount) : 0;
  m_current = m_selected = 0;
  ClearErrorMark();
  SetRowCount(static_cast<size_t>(m_lineCount));
  ScrollToRow(0);
  Refresh();
}

void ProgramView::SetCurrentLine(int32_t line, bool follow) {
  if (line == m_current) return;
  m_current = line;
  if (follow && line > 0) ShowLine(line);
  Refresh();
}

void ProgramView::SetSelectedLine(int32_t line) {
  m_selected = line >= 1 && line <= m_lineCount ? line : 0;
  Refresh();
}

void ProgramView::SetErrorMark(int32_t line, int32_t column, int32_t length) {
  m_errorLine = line;
  m_errorColumn = std::max(0, column);
  m_errorLength = std::max(1, length);
  if (line > 0) ShowLine(line);
  Refresh();
}

void ProgramView::ClearErrorMark() {
  m_errorLine = m_errorColumn = m_errorLength = 0;
  Refresh();
}

void ProgramView::ShowLine(int32_t line) {
  if (line < 1 || line > m_lineCount) return;
  const size_t row = static_cast<size_t>(line - 1);
  if (IsRowVisible(row) && row + 1 < GetVisibleRowsEnd()) return;
  const size_t visible = std::max<size_t>(1, GetVisibleRowsEnd() - GetVisibleRowsBegin());
  ScrollToRow(row > visible / 2 ? row - visible / 2 : 0);
}

wxString ProgramView::LineText(int32_t line) const {
  if (!m_text || line < 1 || line > m_lineCount) return wxString();
  char* p = nullptr;
  if (m_text->GetLine(m_firstLine + line - 1, &p) == 0 || !p) return wxString();
  // Bytes as Latin-1: one character per byte keeps error columns in place.
  wxString raw(p, wxConvISO8859_1);
  wxString out;
  out.reserve(raw.length());
  for (wxUniChar c : raw) {
    if (c == '\t') out.append(kTabWidth - out.length() % kTabWidth, ' ');
    else out += c;
  }
  return out;
}

wxRect ProgramView::LineRect(int32_t line) const {
  if (line < 1 || line > m_lineCount) return wxRect();
  const size_t row = static_cast<size_t>(line - 1);
  if (!IsRowVisible(row)) return wxRect();
  const wxCoord y = static_cast<wxCoord>(row - GetVisibleRowsBegin()) * m_rowHeight;
  return wxRect(0, y, GetClientSize().x, m_rowHeight);
}

wxCoord ProgramView::OnGetRowHeight(size_t) const { return m_rowHeight; }

wxCoord ProgramView::GutterWidth() const {
  int digits = 1;
  for (int32_t n = std::max(m_lineCount, 999); n >= 10; n /= 10) ++digits;
  return (digits + 2) * m_charWidth;
}

void ProgramView::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  dc.SetFont(m_font);
  const wxSize size = GetClientSize();
  dc.SetBackground(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW)));
  dc.Clear();
  const wxCoord gutter = GutterWidth();
  dc.SetPen(*wxTRANSPARENT_PEN);
  dc.SetBrush(wxBrush(kGutterBack));
  dc.DrawRectangle(0, 0, gutter, size.y);
  const wxColour textColour = wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT);
  wxCoord y = 0;
  for (size_t row = GetVisibleRowsBegin(); row < GetVisibleRowsEnd() && y < size.y; ++row, y += m_rowHeight) {
    const int32_t line = static_cast<int32_t>(row) + 1;
    wxColour back;
    if (line == m_errorLine) back = kErrorBack;
    else if (line == m_current) back = kCurrentBack;
    else if (line == m_selected) back = kSelectedBack;
    if (back.IsOk()) {
      dc.SetBrush(wxBrush(back));
      dc.DrawRectangle(gutter, y, size.x - gutter, m_rowHeight);
    }
    if (line == m_current && line == m_errorLine) {
      dc.SetBrush(wxBrush(kCurrentBack));
      dc.DrawRectangle(gutter, y, 4, m_rowHeight);
    }
    const wxString number = wxString::Format("%d", line);
    dc.SetTextForeground(line == m_current ? textColour : kGutterText);
    dc.DrawText(number, gutter - m_charWidth - dc.GetTextExtent(number).x, y + 1);
    dc.SetTextForeground(textColour);
    const wxCoord x0 = gutter + m_charWidth;
    dc.DrawText(LineText(line), x0, y + 1);
    if (line == m_errorLine) {
      const wxCoord x = x0 + m_errorColumn * m_charWidth;
      dc.SetBrush(wxBrush(kErrorMark));
      dc.DrawRectangle(x, y + m_rowHeight - 3, m_errorLength * m_charWidth, 2);
    }
  }
}

int32_t ProgramView::LineAt(const wxPoint& p) const {
  const size_t row = GetVisibleRowsBegin() + static_cast<size_t>(std::max(0, p.y) / std::max(1, m_rowHeight));
  return row < static_cast<size_t>(m_lineCount) ? static_cast<int32_t>(row) + 1 : 0;
}

void ProgramView::OnLeftDown(wxMouseEvent& event) {
  SetFocus();
  const int32_t line = LineAt(event.GetPosition());
  if (line > 0) {
    SetSelectedLine(line);
    if (m_selectedHandler) m_selectedHandler(line);
  }
  event.Skip();
}

void ProgramView::OnDoubleClick(wxMouseEvent& event) {
  const int32_t line = LineAt(event.GetPosition());
  if (line > 0 && m_activated) m_activated(line);
}
