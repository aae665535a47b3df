#include "program/textindex.h"

#include "base/assertion.h"

IndexPage::IndexPage(int32_t lvl, int32_t dist, int32_t base)
    : level(lvl), keyDist(dist), baseKey(base), childCount(0) {
  for (Entry& e : entries) e.page = nullptr;
}

IndexPage::~IndexPage() {
  QASSERT(level >= 0 && level <= 100 && keyDist > 0, "level>=0 && level<= 100 && keyDist>0");
  if (level > 0) {
    // Children are created in slot order, so the first childCount slots hold them.
    for (int32_t i = 0; i < childCount && i < kFanOut; ++i) delete entries[i].page;
  }
}

TextIndex::TextIndex() : root(new IndexPage(0, 1, 0)) {}

TextIndex::~TextIndex() { delete root; }

void TextIndex::AddEntry(char* line) {
  const int32_t key = entryCount;
  if (static_cast<int64_t>(key) >= static_cast<int64_t>(root->keyDist) * IndexPage::kFanOut) {
    // The tree is full: the old root becomes the first child of a new root.
    IndexPage* top = new IndexPage(root->level + 1, root->keyDist * IndexPage::kFanOut, 0);
    top->entries[0].page = root;
    top->childCount = 1;
    root = top;
  }
  IndexPage* page = root;
  while (page->level > 0) {
    const int32_t slot = (key - page->baseKey) / page->keyDist;
    if (!page->entries[slot].page) {
      page->entries[slot].page = new IndexPage(page->level - 1, page->keyDist / IndexPage::kFanOut, key);
      page->childCount++;
    }
    page = page->entries[slot].page;
  }
  page->entries[key - page->baseKey].line = line;
  entryCount++;
  QASSERT(root != 0, "root!=0");
}

char* TextIndex::GetEntry(int32_t number) const {
  if (number < 0 || number >= entryCount) return nullptr;
  const IndexPage* page = root;
  while (page->level > 0) page = page->entries[(number - page->baseKey) / page->keyDist].page;
  return page->entries[number - page->baseKey].line;
}

void TextIndex::Clear() {
  delete root;
  root = new IndexPage(0, 1, 0);
  entryCount = 0;
}
