#include "program/textcontrol.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/assertion.h"

TextControl::TextControl() = default;

TextControl::TextControl(const std::string& text) {
  try {
    TextFileNode* node = AddNode(std::string(), static_cast<int64_t>(text.size()));
    if (!text.empty()) std::memcpy(node->buffer.get(), text.data(), text.size());
    SplitLines(node, static_cast<int64_t>(text.size()));
  } catch (const std::bad_alloc&) {
    errorCode = TEXT_OUT_OF_MEMORY;
  }
}

TextControl::~TextControl() { QASSERT(useCount == 1, "useCount == 1"); }

TextFileNode* TextControl::AddNode(const std::string& name, int64_t length) {
  auto node = std::make_unique<TextFileNode>();
  node->buffer.reset(new char[static_cast<size_t>(length) + 1]);
  node->name = name;
  lineCount++;
  node->firstLine = lineCount;
  files.push_back(std::move(node));
  AddEntry(nullptr);
  return files.back().get();
}

void TextControl::SplitLines(TextFileNode* node, int64_t length) {
  char* buf = node->buffer.get();
  int32_t lines = 0;
  int64_t start = 0;
  auto addLine = [&](int64_t end) {
    AddEntry(buf + start);
    lineCount++;
    lines++;
    const int64_t len = end - start;
    if (len > maxLineLength) maxLineLength = static_cast<int32_t>(len);
  };
  for (int64_t i = 0; i < length; ++i) {
    const char c = buf[i];
    if (c != '\r' && c != '\n') continue;
    buf[i] = 0;
    addLine(i);
    if (c == '\r' && i + 1 < length && buf[i + 1] == '\n') buf[++i] = 0;
    start = i + 1;
  }
  if (length > start) {
    buf[length] = 0;
    addLine(length);
  } else {
    buf[length] = 0;  // keeps the extra byte defined
  }
  node->lineCount = lines;
  AddEntry(nullptr);
  lineCount++;
  errorCode = TEXT_OK;
  currentLine = node->firstLine;
  currentLinePtr = buf;
}

int32_t TextControl::LoadFile(const std::string& name) {
  if (const int32_t first = FindFile(name)) {
    errorCode = TEXT_OK;
    return first;
  }
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (!f) {
    errorCode = TEXT_CANNOT_OPEN;
    return 0;
  }
  int64_t length = -1;
  if (fseeko(f, 0, SEEK_END) == 0) length = ftello(f);
  if (length < 0 || fseeko(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    errorCode = TEXT_CANNOT_OPEN;
    return 0;
  }
  if (length > 2147483647LL) {
    std::fclose(f);
    errorCode = TEXT_TOO_LARGE;
    return 0;
  }
  try {
    TextFileNode* node = AddNode(name, length);
    const size_t got = std::fread(node->buffer.get(), 1, static_cast<size_t>(length), f);
    std::fclose(f);
    f = nullptr;
    if (got < static_cast<size_t>(length)) {
      errorCode = TEXT_READ_SHORT;
      return 0;
    }
    SplitLines(node, length);
    return node->firstLine;
  } catch (const std::bad_alloc&) {
    if (f) std::fclose(f);
    errorCode = TEXT_OUT_OF_MEMORY;
    return 0;
  }
}

namespace {
// Names may come with either separator: programs written on the controller's
// original platform use backslashes.
size_t LastSeparator(const std::string& s) { return s.find_last_of("\\/"); }
}  // namespace

int32_t TextControl::FindFile(const std::string& name) const {
  const bool bare = LastSeparator(name) == std::string::npos;
  for (const auto& f : files) {
    if (f->name == name) return f->firstLine;
    if (bare) {
      const size_t sep = LastSeparator(f->name);
      if (sep != std::string::npos && f->name.compare(sep + 1, std::string::npos, name) == 0) return f->firstLine;
    }
  }
  return 0;
}

void TextControl::GotoLine(int32_t n) {
  if (n > 0 && n < lineCount) {
    currentLine = n;
    currentLinePtr = GetEntry(n);
    errorCode = TEXT_OK;
  } else {
    currentLine = 0;
    currentLinePtr = nullptr;
  }
}

int32_t TextControl::NextLine(char** out) {
  const int32_t n = currentLine + 1;
  if (n >= lineCount) {
    currentLine = 0;
    currentLinePtr = nullptr;
  } else {
    currentLine = n;
    currentLinePtr = GetEntry(n);
  }
  if (out) *out = currentLinePtr;
  if (!currentLinePtr) {
    errorCode = TEXT_END_OF_FILE;
    return 0;
  }
  return n;
}

int32_t TextControl::GetLine(int32_t n, char** out) const {
  char* p = GetEntry(n);
  if (out) *out = p;
  return p ? n : 0;
}

bool TextControl::GetFileRange(int32_t line, int32_t* first, int32_t* last) const {
  for (const auto& f : files) {
    if (line >= f->firstLine && line < f->firstLine + f->lineCount) {
      *first = f->firstLine;
      *last = f->firstLine + f->lineCount - 1;
      return true;
    }
  }
  *first = 1;
  *last = 0;
  return false;
}

void TextControl::Clear() {
  files.clear();
  TextIndex::Clear();
  lineCount = 0;
  maxLineLength = 0;
  currentLine = 0;
  currentLinePtr = nullptr;
  errorCode = TEXT_OK;
}

TextControl* TextControl::Share() {
  QASSERT(useCount > 0, "useCount > 0");
  useCount++;
  return this;
}

void TextControl::Abandon(TextControl*& text) {
  if (!text) return;
  QASSERT(text->useCount > 0, "text->useCount > 0");
  if (text->useCount == 1)
    delete text;
  else if (text->useCount > 1)
    text->useCount--;  // a broken count leaks rather than freeing a store still in use
  text = nullptr;
}
