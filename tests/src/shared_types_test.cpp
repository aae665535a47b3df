#include <gtest/gtest.h>

#include "coordinates.h"
#include "linkedlist.h"
#include "testsupport.h"

namespace {

struct Item : LinkedNode {
  explicit Item(int v) : value(v) {}
  int value;
};

std::vector<int> Values(const LinkedList& l) {
  std::vector<int> out;
  for (LinkedNode* n = l.First(); n; n = n->Next()) out.push_back(static_cast<Item*>(n)->value);
  return out;
}

TEST(LinkedList, OrderAndRemoval) {
  LinkedList list;
  Item a(1), b(2), c(3), d(4);
  list.AddTail(&b);
  list.AddHead(&a);
  list.AddTail(&d);
  c.AddBefore(&d);
  EXPECT_EQ(Values(list), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(list.Count(), 4u);
  b.Remove();
  EXPECT_EQ(Values(list), (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(list.RemoveTail(), &d);
  EXPECT_EQ(list.RemoveHead(), &a);
  EXPECT_EQ(Values(list), (std::vector<int>{3}));
  EXPECT_FALSE(b.IsLinked());
}

TEST(LinkedList, MisuseIsReportedAndLeavesTheChainIntact) {
  testsupport::AssertionCapture capture;
  LinkedList list;
  Item a(1), b(2), loose(9);
  list.AddTail(&a);
  list.AddTail(&b);
  a.AddBefore(&b);   // already linked
  a.AddBehind(&b);   // already linked
  loose.Remove();    // never linked
  EXPECT_TRUE(capture.Saw("AddBefore: node already linked"));
  EXPECT_TRUE(capture.Saw("AddBehind: node already linked"));
  EXPECT_TRUE(capture.Saw("Remove: node is not linked"));
  EXPECT_EQ(Values(list), (std::vector<int>{1, 2}));
}

TEST(LinkedList, DestroyedNodeLeavesItsList) {
  LinkedList list;
  Item a(1);
  {
    Item temp(2);
    list.AddTail(&a);
    list.AddTail(&temp);
  }
  EXPECT_EQ(Values(list), (std::vector<int>{1}));
}

TEST(Coordinates, IndexOutsideTheNineAxesIsReported) {
  testsupport::AssertionCapture capture;
  Coordinates c(1, 2, 3, 4, 5, 6, 7, 8, 9);
  EXPECT_EQ(c[8], 9);
  EXPECT_EQ(c[9], 9);  // reported, stays inside the array
  EXPECT_TRUE(capture.Saw("Coordinates index"));
  EXPECT_EQ(c + c, Coordinates(2, 4, 6, 8, 10, 12, 14, 16, 18));
}

}  // namespace
