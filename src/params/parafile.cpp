#include "params/parafile.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <locale.h>
#include <stdlib.h>

#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/log.h>

#include "base/coordinates.h"
#include "base/folders.h"
#include "base/logging.h"

namespace {

void DefaultMessage(const char* caption, const char* text) { std::fprintf(stderr, "%s: %s\n", caption, text); }

void DefaultFatal(const char* caption, const char* text) {
  std::fprintf(stderr, "%s: %s\n", caption, text);
  std::exit(EXIT_FAILURE);
}

MessageHandler g_message = DefaultMessage;
FatalErrorHandler g_fatal = DefaultFatal;
bool g_initialised = false;

const char* const kAxisNames[ParaFile::kAxisNameCount] = {
    "0",  "X",  "Y",  "Z",  "A",  "B",  "C",  "U",  "V",  "W",  "A1", "A2", "A3", "B1",
    "B2", "B3", "C1", "C2", "C3", "X1", "X2", "X3", "Y1", "Y2", "Y3", "Z1", "Z2", "Z3"};

wxString ToWx(const std::string& s) { return wxString::FromUTF8(s.data(), s.size()); }
std::string FromWx(const wxString& s) {
  const wxScopedCharBuffer buf = s.utf8_str();
  return std::string(buf.data(), buf.length());
}

// True when line starts with key followed by "=".
bool KeyMatches(const wxString& line, const wxString& key) {
  const size_t n = key.length();
  if (line.length() <= n || line[n] != '=') return false;
  return line.compare(0, n, key) == 0;
}

bool StartsWithBracket(const wxString& line) {
  for (wxString::const_iterator it = line.begin(); it != line.end(); ++it) {
    const wxUniChar c = *it;
    if (c == ' ' || c == '\t') continue;
    return c == '[';
  }
  return false;
}

}  // namespace

MessageHandler SetMessageHandler(MessageHandler handler) {
  MessageHandler old = g_message;
  g_message = handler ? handler : DefaultMessage;
  return old;
}

void ShowErrorMessage(const char* caption, const char* text) { g_message(caption, text); }

FatalErrorHandler SetFatalErrorHandler(FatalErrorHandler handler) {
  FatalErrorHandler old = g_fatal;
  g_fatal = handler ? handler : DefaultFatal;
  return old;
}

void FatalError(const char* caption, const char* text) { g_fatal(caption, text); }

void SetInitialised(bool on) { g_initialised = on; }
bool IsInitialised() { return g_initialised; }

// ---------------------------------------------------------------------------
// Value text

std::string ParaFile::FormatNumber(double v) {
  std::string out;
  if (v < 0) {
    out = "-";
    v = -v;
  }
  if (std::isnan(v) || v > 4294967295.0) return out + "OVFL";
  v += 0.5e-9;
  const double ip = std::floor(v);
  const auto i = static_cast<uint64_t>(ip);
  double frac = std::floor((v - ip) * 1e9);
  if (frac > 999999999.0) frac = 999999999.0;
  if (frac < 0) frac = 0;
  const auto f = static_cast<uint32_t>(frac);
  char buf[48];
  int len = std::snprintf(buf, sizeof buf, "%llu.%09u", static_cast<unsigned long long>(i), f);
  // Drop trailing zeros but keep one digit after the point.
  const char* dot = std::strchr(buf, '.');
  const int minLen = static_cast<int>(dot - buf) + 2;
  while (len > minLen && buf[len - 1] == '0') --len;
  out.append(buf, static_cast<size_t>(len));
  return out;
}

// Always "." as separator, whatever LC_NUMERIC says: from_chars ignores the
// locale, so files written on one system read the same on any other.
double ParaFile::ParseNumber(const std::string& text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  if (p < end && *p == '+') ++p;
  double v = 0.0;
  const auto r = std::from_chars(p, end, v);
  if (r.ec == std::errc::result_out_of_range) {
    // Overflow gives +-inf, underflow 0, the same as the C library.
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    return strtod_l(std::string(p, end).c_str(), nullptr, cLocale);
  }
  if (r.ec != std::errc()) return 0.0;
  return v;
}

int ParaFile::ParseInt(const std::string& text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  if (p < end && *p == '+') ++p;
  long long v = 0;
  const auto r = std::from_chars(p, end, v, 10);
  if (r.ec == std::errc::result_out_of_range) return (p < end && *p == '-') ? INT32_MIN : INT32_MAX;
  if (r.ec != std::errc()) return 0;
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int>(v);
}

std::string ParaFile::IndexedKey(const std::string& key, int index) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "_%02d", index);
  return key + buf;
}

std::string ParaFile::IndexedKey(const std::string& prefix, const std::string& key, int index) {
  return prefix + IndexedKey(key, index);
}

std::string ParaFile::Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string ParaFile::Unescape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      out += '\n';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

const char* ParaFile::AxisName(int index) {
  return index >= 0 && index < kAxisNameCount ? kAxisNames[index] : nullptr;
}

int ParaFile::AxisNameIndex(const std::string& name) {
  for (int i = 0; i < kAxisNameCount; ++i)
    if (name == kAxisNames[i]) return i;
  return -1;
}

// ---------------------------------------------------------------------------
// File handling

ParaFile::ParaFile(int mode_) : mode(mode_) {}

ParaFile::~ParaFile() {
  if (dirty) {
    LogMessage(17, "Parameter file %s Close() without Write()!", path.c_str());
    Write();
  }
}

bool ParaFile::OpenPath(const std::string& fullPath, bool create) {
  wxLogNull quiet;  // failures are reported by our own log lines
  if (IsOpened()) wxTextFile::Close();
  Clear();
  path = fullPath;
  sectionStart = sectionEnd = 0;
  inSection = false;
  dirty = false;
  const wxString name = ToWx(fullPath);
  if (wxFileName::FileExists(name)) {
    bool ok = wxTextFile::Open(name);
    // Bytes that fit no detectable encoding still hold usable ASCII keys.
    if (!ok) ok = wxTextFile::Open(name, wxConvISO8859_1);
    if (ok) {
      sectionEnd = static_cast<unsigned>(GetLineCount());
      return true;
    }
  }
  if (!create) return false;
  LogMessage(18, "#PARAMETERS Loading file %s failed.", fullPath.c_str());
  if (!wxFileName::FileExists(name)) {
    // A fresh installation starts from the delivered defaults when there are
    // any ("defaults" below the folder of the file), else from an empty file.
    const wxFileName file(name);
    const wxString delivered = file.GetPath() + "/defaults/" + file.GetFullName();
    if (!wxFileName::FileExists(delivered) || !wxCopyFile(delivered, name)) wxTextFile::Create(name);
  }
  if (wxTextFile::Open(name)) {
    sectionEnd = static_cast<unsigned>(GetLineCount());
    LogMessage(19, "#PARAMETERS new File %s created.", fullPath.c_str());
    return false;
  }
  LogMessage(17, "#PARAMETERS Creating file %s failed.", fullPath.c_str());
  FatalError("Fatal error", "Parameter files don't exist or are corrupted,\nPlease re-install the program.");
  return false;
}

bool ParaFile::Open(const std::string& name) {
  const std::string full = (!name.empty() && name[0] == '/') ? name : Folders::Join(Folders::Parameters(), name);
  LogMessage(19, "Loading file %s", full.c_str());
  return OpenPath(full, true);
}

bool ParaFile::OpenExisting(const std::string& fullPath) { return OpenPath(fullPath, false); }

bool ParaFile::CreateNew(const std::string& fullPath) {
  wxLogNull quiet;
  if (IsOpened()) wxTextFile::Close();
  Clear();
  path = fullPath;
  sectionStart = sectionEnd = 0;
  inSection = false;
  dirty = false;
  const wxString name = ToWx(fullPath);
  if (wxFileName::FileExists(name) && !wxRemoveFile(name)) return false;
  if (!wxTextFile::Create(name)) return false;
  return wxTextFile::Open(name);
}

bool ParaFile::Write() {
  bool ok = false;
  if (IsOpened()) {
    wxLogNull quiet;
    ok = wxTextFile::Write();
  }
  if (!ok) {
    LogMessage(17, "Parameter file %s write failed!", path.c_str());
    return false;
  }
  dirty = false;
  return true;
}

void ParaFile::ShutdownClose() {
  if (IsOpened()) {
    if (dirty) {
      LogMessage(17, "#PARAMETERS warning: file %s not written!", path.c_str());
      Write();
    }
    wxTextFile::Close();
  } else if (g_initialised) {
    LogMessage(18, "#PARAMETERS warning: file %s already closed", path.c_str());
  }
}

void ParaFile::Discard() {
  dirty = false;
  if (IsOpened()) wxTextFile::Close();
  Clear();
  sectionStart = sectionEnd = 0;
  inSection = false;
}

void ParaFile::SyncFile() { LogMessage(22, "#PARAFILE SyncFile called"); }

// ---------------------------------------------------------------------------
// Sections

bool ParaFile::IsHeader(unsigned line) const {
  const wxString& s = GetLine(line);
  return StartsWithBracket(s) && !s.empty() && s.Last() == ']';
}

std::string ParaFile::NextSection() {
  const unsigned count = static_cast<unsigned>(GetLineCount());
  // Before the first section is selected the scan starts at the top; the
  // whole file is then the current range for key searches.
  unsigned i = inSection ? sectionEnd : 0;
  if (i > count) i = count;
  inSection = true;
  while (i < count && !IsHeader(i)) ++i;
  if (i >= count) {
    sectionStart = sectionEnd = count;
    return std::string();
  }
  const wxString& h = GetLine(i);
  const size_t open = h.find('[');
  const wxString name = h.substr(open + 1, h.length() - open - 2);
  sectionStart = i + 1;
  unsigned e = sectionStart;
  while (e < count && !StartsWithBracket(GetLine(e))) ++e;
  sectionEnd = e;
  // Leaving the current line at the section start lets NextLine walk it.
  GoToLine(sectionStart < count ? sectionStart : count);
  return FromWx(name);
}

std::string ParaFile::NextLine() {
  size_t cur = GetCurrentLine();
  if (cur < sectionStart) cur = sectionStart;
  if (cur >= sectionEnd || cur >= GetLineCount()) return std::string();
  std::string line = FromWx(GetLine(cur));
  GoToLine(cur + 1);
  return line;
}

bool ParaFile::OpenSection(const std::string& fullPath, const std::string& name) {
  if (!OpenExisting(fullPath)) return false;
  for (;;) {
    const std::string s = NextSection();
    if (s == name) {
      if (!s.empty()) return true;
    }
    if (s.empty()) break;
  }
  Discard();
  return false;
}

// New lines take the line end the file uses, so a file kept with CR LF does
// not end up with mixed line ends. A last line without a line end (as editors
// may leave it) gets one first, or the new line would be glued onto it.
void ParaFile::AppendLine(const wxString& line) {
  const size_t count = GetLineCount();
  wxTextFileType type = wxTextBuffer::typeDefault;
  for (size_t i = count; i > 0; --i) {
    if (GetLineType(i - 1) != wxTextFileType_None) {
      type = GetLineType(i - 1);
      break;
    }
  }
  if (count > 0 && GetLineType(count - 1) == wxTextFileType_None) {
    const wxString last = GetLine(count - 1);
    RemoveLine(count - 1);
    AddLine(last, type);
  }
  AddLine(line, type);
}

void ParaFile::WriteSection(const std::string& name) {
  if (mode != MODE_APPEND) return;
  AppendLine(ToWx("[" + name + "]"));
  dirty = true;
}

// ---------------------------------------------------------------------------
// Keys

unsigned ParaFile::SearchEnd() const {
  const unsigned count = static_cast<unsigned>(GetLineCount());
  if (mode == MODE_KEYS) return count;
  return sectionEnd < count ? sectionEnd : count;
}

int ParaFile::FindKey(const std::string& key) const {
  const wxString k = ToWx(key);
  const unsigned end = SearchEnd();
  for (unsigned i = 0; i < end; ++i)
    if (KeyMatches(GetLine(i), k)) return static_cast<int>(i);
  return -1;
}

void ParaFile::SetValue(const std::string& key, const std::string& text) {
  if (mode == MODE_SECTIONS) return;
  const wxString line = ToWx(key + "=" + text);
  if (mode == MODE_KEYS) {
    const int ix = FindKey(key);
    if (ix >= 0)
      GetLine(static_cast<size_t>(ix)) = line;
    else
      AppendLine(line);
  } else {
    AppendLine(line);
  }
  sectionEnd = static_cast<unsigned>(GetLineCount());
  dirty = true;
}

void ParaFile::RemoveKey(const std::string& key) {
  if (mode != MODE_KEYS) return;
  const int ix = FindKey(key);
  if (ix < 0) return;
  RemoveLine(static_cast<size_t>(ix));
  sectionEnd = static_cast<unsigned>(GetLineCount());
  dirty = true;
}

bool ParaFile::GetValue(const std::string& key, std::string& text) const {
  const int ix = FindKey(key);
  if (ix < 0) return false;
  const std::string line = FromWx(GetLine(static_cast<size_t>(ix)));
  text = line.substr(line.find('=') + 1);
  return true;
}

// ---------------------------------------------------------------------------
// Typed access

bool ParaFile::GetInt(const std::string& key, int& v) const {
  std::string t;
  if (!GetValue(key, t)) return false;
  v = ParseInt(t);
  return true;
}

bool ParaFile::GetBool(const std::string& key, bool& v) const {
  int i = 0;
  if (!GetInt(key, i)) return false;
  v = i != 0;
  return true;
}

bool ParaFile::GetDouble(const std::string& key, double& v) const {
  std::string t;
  if (!GetValue(key, t)) return false;
  v = ParseNumber(t);
  return true;
}

bool ParaFile::GetString(const std::string& key, std::string& v) const {
  std::string t;
  if (!GetValue(key, t)) return false;
  v = Unescape(t);
  return true;
}

bool ParaFile::GetRawString(const std::string& key, std::string& v) const { return GetValue(key, v); }

void ParaFile::SetInt(const std::string& key, int v) { SetValue(key, std::to_string(v)); }
void ParaFile::SetBool(const std::string& key, bool v) { SetValue(key, v ? "1" : "0"); }
void ParaFile::SetDouble(const std::string& key, double v) { SetValue(key, FormatNumber(v)); }
void ParaFile::SetString(const std::string& key, const std::string& v) { SetValue(key, Escape(v)); }
void ParaFile::SetRawString(const std::string& key, const std::string& v) { SetValue(key, v); }

bool ParaFile::GetInt(const std::string& key, int index, int& v) const { return GetInt(IndexedKey(key, index), v); }
bool ParaFile::GetBool(const std::string& key, int index, bool& v) const {
  return GetBool(IndexedKey(key, index), v);
}
bool ParaFile::GetDouble(const std::string& key, int index, double& v) const {
  return GetDouble(IndexedKey(key, index), v);
}
bool ParaFile::GetString(const std::string& key, int index, std::string& v) const {
  return GetString(IndexedKey(key, index), v);
}
bool ParaFile::GetRawString(const std::string& key, int index, std::string& v) const {
  return GetRawString(IndexedKey(key, index), v);
}
void ParaFile::SetInt(const std::string& key, int index, int v) { SetInt(IndexedKey(key, index), v); }
void ParaFile::SetBool(const std::string& key, int index, bool v) { SetBool(IndexedKey(key, index), v); }
void ParaFile::SetDouble(const std::string& key, int index, double v) { SetDouble(IndexedKey(key, index), v); }
void ParaFile::SetString(const std::string& key, int index, const std::string& v) {
  SetString(IndexedKey(key, index), v);
}
void ParaFile::SetRawString(const std::string& key, int index, const std::string& v) {
  SetRawString(IndexedKey(key, index), v);
}

bool ParaFile::GetInt(const std::string& prefix, const std::string& key, int index, int& v) const {
  return GetInt(IndexedKey(prefix, key, index), v);
}
bool ParaFile::GetBool(const std::string& prefix, const std::string& key, int index, bool& v) const {
  return GetBool(IndexedKey(prefix, key, index), v);
}
bool ParaFile::GetDouble(const std::string& prefix, const std::string& key, int index, double& v) const {
  return GetDouble(IndexedKey(prefix, key, index), v);
}
bool ParaFile::GetString(const std::string& prefix, const std::string& key, int index, std::string& v) const {
  return GetString(IndexedKey(prefix, key, index), v);
}
void ParaFile::SetInt(const std::string& prefix, const std::string& key, int index, int v) {
  SetInt(IndexedKey(prefix, key, index), v);
}
void ParaFile::SetBool(const std::string& prefix, const std::string& key, int index, bool v) {
  SetBool(IndexedKey(prefix, key, index), v);
}
void ParaFile::SetDouble(const std::string& prefix, const std::string& key, int index, double v) {
  SetDouble(IndexedKey(prefix, key, index), v);
}
void ParaFile::SetString(const std::string& prefix, const std::string& key, int index, const std::string& v) {
  SetString(IndexedKey(prefix, key, index), v);
}

bool ParaFile::GetFloats(const std::string& key, double* v, int n) const {
  for (int i = 0; i < n; ++i)
    if (!GetDouble(key, i, v[i])) return false;
  return true;
}

void ParaFile::SetFloats(const std::string& key, const double* v, int n) {
  for (int i = 0; i < n; ++i) SetDouble(key, i, v[i]);
}

bool ParaFile::GetCoordinates(const std::string& key, Coordinates& c) const { return GetFloats(key, c.v, kAxisCount); }

void ParaFile::SetCoordinates(const std::string& key, const Coordinates& c) { SetFloats(key, c.v, kAxisCount); }

bool ParaFile::GetAxisName(const std::string& key, int& index) const {
  std::string t;
  if (!GetValue(key, t)) return false;
  const int ix = AxisNameIndex(t);
  index = ix < 0 ? 0 : ix;
  return ix >= 0;
}

void ParaFile::SetAxisName(const std::string& key, int index) {
  const char* name = AxisName(index);
  SetValue(key, name ? name : "0");
}

// ---------------------------------------------------------------------------
// The set of parameter files

namespace {

const char* const kFileNames[PF_COUNT] = {
    "ParameterTable.txt", "VariableTable.txt", "ToolTable.txt",      "MappingTable.txt", "GuiSettings.txt",
    "UserSettings.txt",   "Users.txt",         "storage.txt",        "SpindleMapping.txt", "LogicArray.txt",
    "dealer.txt",         "ModbusTable.txt",   "Hotkeys.txt"};

const ParaFileId kCloseOrder[PF_COUNT] = {
    PF_PARAMETER_TABLE, PF_VARIABLE_TABLE, PF_TOOL_TABLE,   PF_MAPPING_TABLE, PF_GUI_SETTINGS,
    PF_HOTKEYS,         PF_USER_SETTINGS,  PF_STORAGE,      PF_SPINDLE_MAPPING, PF_LOGIC_ARRAY,
    PF_USERS,           PF_DEALER,         PF_MODBUS_TABLE};

// Never destroyed: the files are closed explicitly by the last Parameters
// object, and static destruction order must not run their destructors after
// the log is gone.
ParaFile* Files() {
  static ParaFile* files = new ParaFile[PF_COUNT];
  return files;
}

}  // namespace

const char* ParaFileName(ParaFileId id) { return id >= 0 && id < PF_COUNT ? kFileNames[id] : ""; }

ParaFile& GetParaFile(ParaFileId id) {
  if (id < 0 || id >= PF_COUNT) id = PF_PARAMETER_TABLE;
  return Files()[id];
}

ParaFile* FindParaFile(const std::string& name) {
  for (int i = 0; i < PF_COUNT; ++i)
    if (name == kFileNames[i]) return &Files()[i];
  return nullptr;
}

bool OpenParameterFiles() {
  bool ok = true;
  for (int i = 0; i < PF_COUNT; ++i) {
    const bool existed = Files()[i].Open(kFileNames[i]);
    if (i < PF_USERS + 1 && !existed) ok = false;
  }
  return ok;
}

void CloseParameterFiles() {
  for (ParaFileId id : kCloseOrder) Files()[id].ShutdownClose();
}
