#include "base/linkedlist.h"

#include "base/assertion.h"

LinkedNode::~LinkedNode() {
  if (list_ && this != &list_->head_) Remove();
}

LinkedNode* LinkedNode::Next() const {
  if (!list_ || next_ == &list_->head_) return nullptr;
  return next_;
}

LinkedNode* LinkedNode::Prev() const {
  if (!list_ || prev_ == &list_->head_) return nullptr;
  return prev_;
}

void LinkedNode::AddBefore(LinkedNode* other) {
  if (!QASSERT(list_ == nullptr, "AddBefore: node already linked")) return;
  if (!QASSERT(other && other->list_, "AddBefore: target is not linked")) return;
  list_ = other->list_;
  next_ = other;
  prev_ = other->prev_;
  prev_->next_ = this;
  other->prev_ = this;
  ++list_->count_;
}

void LinkedNode::AddBehind(LinkedNode* other) {
  if (!QASSERT(list_ == nullptr, "AddBehind: node already linked")) return;
  if (!QASSERT(other && other->list_, "AddBehind: target is not linked")) return;
  list_ = other->list_;
  prev_ = other;
  next_ = other->next_;
  next_->prev_ = this;
  other->next_ = this;
  ++list_->count_;
}

void LinkedNode::Remove() {
  if (!QASSERT(list_ != nullptr, "Remove: node is not linked")) return;
  prev_->next_ = next_;
  next_->prev_ = prev_;
  --list_->count_;
  next_ = prev_ = nullptr;
  list_ = nullptr;
}

LinkedList::LinkedList() {
  head_.next_ = head_.prev_ = &head_;
  head_.list_ = this;
}

LinkedList::~LinkedList() {
  while (RemoveHead()) {
  }
  head_.list_ = nullptr;
}

LinkedNode* LinkedList::RemoveHead() {
  LinkedNode* n = First();
  if (n) n->Remove();
  return n;
}

LinkedNode* LinkedList::RemoveTail() {
  LinkedNode* n = Last();
  if (n) n->Remove();
  return n;
}
