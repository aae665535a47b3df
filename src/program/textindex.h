// Line number -> line pointer map of the program text: a tree of 100-way
// pages, so a line is found in a few steps without any per-line allocation.
#pragma once

#include <cstdint>

// One node of the index tree.
struct IndexPage {
  static constexpr int32_t kFanOut = 100;

  int32_t level;       // 0 = leaf; a page of level L holds pages of level L-1
  int32_t keyDist;     // line numbers covered by one entry: 100^level
  int32_t baseKey;     // first line number covered by this page
  int32_t childCount;  // child pages created under this page (0 on a leaf)
  union Entry {
    char* line;        // on a leaf
    IndexPage* page;   // above
  } entries[kFanOut];

  IndexPage(int32_t level, int32_t keyDist, int32_t baseKey);
  ~IndexPage();
  IndexPage(const IndexPage&) = delete;
  IndexPage& operator=(const IndexPage&) = delete;
};

class TextIndex {
 public:
  TextIndex();
  virtual ~TextIndex();
  TextIndex(const TextIndex&) = delete;
  TextIndex& operator=(const TextIndex&) = delete;

  // Appends one entry (a line pointer or null) under number EntryCount().
  void AddEntry(char* line);
  // The pointer stored under `number`, or null when out of range.
  char* GetEntry(int32_t number) const;
  // Drops all pages and starts again with one empty leaf.
  virtual void Clear();

  int32_t EntryCount() const { return entryCount; }
  const IndexPage* Root() const { return root; }

 protected:
  int32_t entryCount = 0;
  IndexPage* root = nullptr;
};
