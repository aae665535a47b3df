// Persistent settings: key=value text files held in memory for the whole life
// of the process, read and changed by key and written back as a whole.
#pragma once

#include <string>

#include <wx/textfile.h>

struct Coordinates;

// Reports an error the operator must see. The default prints caption and
// text to stderr; the GUI installs a message box. Returns the previous one.
using MessageHandler = void (*)(const char* caption, const char* text);
MessageHandler SetMessageHandler(MessageHandler handler);
void ShowErrorMessage(const char* caption, const char* text);

// Reports an unrecoverable error. The default prints caption and text to
// stderr and ends the process. A replacement that returns lets the caller
// carry on with a failure result (tests and fuzzing use this).
using FatalErrorHandler = void (*)(const char* caption, const char* text);
FatalErrorHandler SetFatalErrorHandler(FatalErrorHandler handler);
void FatalError(const char* caption, const char* text);

// Set by the application once start-up has finished.
void SetInitialised(bool on);
bool IsInitialised();

class ParaFile : public wxTextFile {
 public:
  enum Mode {
    MODE_KEYS = 0,      // searched as a whole, changed in place
    MODE_SECTIONS = 1,  // read only, section by section
    MODE_APPEND = 2,    // written sequentially
  };

  explicit ParaFile(int mode = MODE_KEYS);
  ~ParaFile() override;

  ParaFile(const ParaFile&) = delete;
  ParaFile& operator=(const ParaFile&) = delete;

  int GetMode() const { return mode; }
  bool IsDirty() const { return dirty; }
  unsigned SectionStart() const { return sectionStart; }
  unsigned SectionEnd() const { return sectionEnd; }

  // Opens name below the parameter folder (an absolute name is used as is).
  // True only when an existing file was opened; a missing file is created
  // empty (false); a file that can be neither opened nor created is fatal.
  bool Open(const std::string& name);
  // Opens an existing file by full path without creating it (export files).
  bool OpenExisting(const std::string& path);
  // Creates a new empty file at the full path, replacing an existing one.
  bool CreateNew(const std::string& path);
  // Writes all lines back; false (and logged) when the write failed.
  bool Write();
  // The close routine used at shutdown: writes a dirty file, then closes.
  void ShutdownClose();
  // Closes without writing, discarding changes (tests restarting the process).
  void Discard();
  void SyncFile();
  const std::string& PathName() const { return path; }

  // Sections: "[name]" headers.
  std::string NextSection();
  std::string NextLine();
  bool OpenSection(const std::string& path, const std::string& name);
  void WriteSection(const std::string& name);

  // Keys: the text before the first "=", matched whole and case-sensitively.
  int FindKey(const std::string& key) const;
  void SetValue(const std::string& key, const std::string& text);
  void RemoveKey(const std::string& key);
  // The raw value text after the "="; false when the key is absent.
  bool GetValue(const std::string& key, std::string& text) const;

  // Typed access. Getters return false when the key is absent and then leave
  // the target unchanged; an unparsable number reads as 0.
  bool GetInt(const std::string& key, int& v) const;
  bool GetBool(const std::string& key, bool& v) const;
  bool GetDouble(const std::string& key, double& v) const;
  bool GetString(const std::string& key, std::string& v) const;  // "\n" unescaped
  bool GetRawString(const std::string& key, std::string& v) const;
  void SetInt(const std::string& key, int v);
  void SetBool(const std::string& key, bool v);
  void SetDouble(const std::string& key, double v);
  void SetString(const std::string& key, const std::string& v);  // newline escaped
  void SetRawString(const std::string& key, const std::string& v);

  // Indexed: key "_" index, two digits (three from 100).
  bool GetInt(const std::string& key, int index, int& v) const;
  bool GetBool(const std::string& key, int index, bool& v) const;
  bool GetDouble(const std::string& key, int index, double& v) const;
  bool GetString(const std::string& key, int index, std::string& v) const;
  bool GetRawString(const std::string& key, int index, std::string& v) const;
  void SetInt(const std::string& key, int index, int v);
  void SetBool(const std::string& key, int index, bool v);
  void SetDouble(const std::string& key, int index, double v);
  void SetString(const std::string& key, int index, const std::string& v);
  void SetRawString(const std::string& key, int index, const std::string& v);

  // I/O mapping keys: direction prefix ("in"/"out"), name, "_", index.
  bool GetInt(const std::string& prefix, const std::string& key, int index, int& v) const;
  bool GetBool(const std::string& prefix, const std::string& key, int index, bool& v) const;
  bool GetDouble(const std::string& prefix, const std::string& key, int index, double& v) const;
  bool GetString(const std::string& prefix, const std::string& key, int index, std::string& v) const;
  void SetInt(const std::string& prefix, const std::string& key, int index, int v);
  void SetBool(const std::string& prefix, const std::string& key, int index, bool v);
  void SetDouble(const std::string& prefix, const std::string& key, int index, double v);
  void SetString(const std::string& prefix, const std::string& key, int index, const std::string& v);

  // Consecutive indexed doubles key_00..key_(n-1); a get fails at the first
  // missing index (earlier elements are already stored).
  bool GetFloats(const std::string& key, double* v, int n) const;
  void SetFloats(const std::string& key, const double* v, int n);
  bool GetFloat3(const std::string& key, double v[3]) const { return GetFloats(key, v, 3); }
  bool GetFloat4(const std::string& key, double v[4]) const { return GetFloats(key, v, 4); }
  void SetFloat3(const std::string& key, const double v[3]) { SetFloats(key, v, 3); }
  void SetFloat4(const std::string& key, const double v[4]) { SetFloats(key, v, 4); }
  // All nine axes key_00..key_08.
  bool GetCoordinates(const std::string& key, Coordinates& c) const;
  void SetCoordinates(const std::string& key, const Coordinates& c);

  // Axis-name values: the index in the list of 28 names; an unknown name
  // gives 0 and false.
  bool GetAxisName(const std::string& key, int& index) const;
  void SetAxisName(const std::string& key, int index);

  // Value text helpers, locale independent.
  static std::string FormatNumber(double v);
  static double ParseNumber(const std::string& text);
  static int ParseInt(const std::string& text);
  static std::string IndexedKey(const std::string& key, int index);
  static std::string IndexedKey(const std::string& prefix, const std::string& key, int index);
  static std::string Escape(const std::string& text);
  static std::string Unescape(const std::string& text);
  static constexpr int kAxisNameCount = 28;
  static const char* AxisName(int index);   // nullptr outside 0..27
  static int AxisNameIndex(const std::string& name);  // -1 if unknown

 private:
  bool OpenPath(const std::string& fullPath, bool create);
  bool IsHeader(unsigned line) const;
  unsigned SearchEnd() const;
  void AppendLine(const wxString& line);

  int mode;
  unsigned sectionStart = 0;
  unsigned sectionEnd = 0;
  bool dirty = false;
  bool inSection = false;  // NextSection has run since the file was opened
  std::string path;
};

// The parameter files, opened in this order.
enum ParaFileId {
  PF_PARAMETER_TABLE,
  PF_VARIABLE_TABLE,
  PF_TOOL_TABLE,
  PF_MAPPING_TABLE,
  PF_GUI_SETTINGS,
  PF_USER_SETTINGS,
  PF_USERS,
  PF_STORAGE,
  PF_SPINDLE_MAPPING,
  PF_LOGIC_ARRAY,
  PF_DEALER,
  PF_MODBUS_TABLE,
  PF_HOTKEYS,
  PF_COUNT
};

const char* ParaFileName(ParaFileId id);
// The process-wide file object (mode 0); exists before it is opened.
ParaFile& GetParaFile(ParaFileId id);
// By file name ("ToolTable.txt"); nullptr if it is not one of the thirteen.
ParaFile* FindParaFile(const std::string& name);

// Opens all thirteen; true only if the first seven existed.
bool OpenParameterFiles();
// Runs the close routine on all thirteen in the shutdown order.
void CloseParameterFiles();
// Tests only: closes every file discarding unsaved lines, forgets the
// loaded/dirty variable marks, clears "initialised" and the run-time counter,
// so the next OpenParameterFiles starts like a new process.
void ResetParameterFilesForTest();
