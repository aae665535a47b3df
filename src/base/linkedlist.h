// Intrusive doubly linked list for messages, send buffers and job lists.
// Nodes are never allocated by the list; linking twice or removing an unlinked
// node is reported and ignored, so a misuse cannot corrupt the chain.
#pragma once

#include <cstddef>

class LinkedList;

class LinkedNode {
 public:
  LinkedNode() = default;
  LinkedNode(const LinkedNode&) = delete;
  LinkedNode& operator=(const LinkedNode&) = delete;
  virtual ~LinkedNode();

  bool IsLinked() const { return list_ != nullptr; }
  LinkedList* List() const { return list_; }
  LinkedNode* Next() const;  // null at the end of the list
  LinkedNode* Prev() const;  // null at the start of the list

  // Links this node in front of / behind `other`, which must be linked.
  void AddBefore(LinkedNode* other);
  void AddBehind(LinkedNode* other);
  // Unlinks this node from its list.
  void Remove();

 private:
  friend class LinkedList;
  LinkedNode* next_ = nullptr;
  LinkedNode* prev_ = nullptr;
  LinkedList* list_ = nullptr;
};

class LinkedList {
 public:
  LinkedList();
  LinkedList(const LinkedList&) = delete;
  LinkedList& operator=(const LinkedList&) = delete;
  ~LinkedList();  // unlinks whatever is still linked; does not delete nodes

  bool IsEmpty() const { return count_ == 0; }
  size_t Count() const { return count_; }
  LinkedNode* First() const { return count_ ? head_.next_ : nullptr; }
  LinkedNode* Last() const { return count_ ? head_.prev_ : nullptr; }

  void AddHead(LinkedNode* node) { node->AddBehind(&head_); }
  void AddTail(LinkedNode* node) { node->AddBefore(&head_); }
  LinkedNode* RemoveHead();  // null when empty
  LinkedNode* RemoveTail();

 private:
  friend class LinkedNode;
  LinkedNode head_;  // sentinel: head_.next_ is the first node, head_.prev_ the last
  size_t count_ = 0;
};
