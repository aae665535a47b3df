#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "base/coordinates.h"
#include "base/linkedlist.h"
#include "common/testsupport.h"

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

TEST(LinkedList, OrderRemovalAndMisuse) {
  testsupport::AssertionCapture capture;
  LinkedList list;
  Item a(1), b(2), c(3), d(4);
  list.AddTail(&b);
  list.AddHead(&a);
  list.AddTail(&d);
  c.AddBefore(&d);
  {
    Item temp(5);
    temp.AddBehind(&d);
    EXPECT_EQ(Values(list), (std::vector<int>{1, 2, 3, 4, 5}));
  }  // a destroyed node leaves its list
  EXPECT_EQ(list.Count(), 4u);
  // Linking twice or removing an unlinked node is reported and ignored.
  a.AddBefore(&b);
  a.AddBehind(&b);
  b.Remove();
  b.Remove();
  const std::vector<std::string> reported = {"AddBefore: node already linked", "AddBehind: node already linked",
                                             "Remove: node is not linked"};
  EXPECT_EQ(capture.Messages(), reported);
  EXPECT_EQ(Values(list), (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(list.RemoveTail(), &d);
  EXPECT_EQ(list.RemoveHead(), &a);
  EXPECT_EQ(Values(list), (std::vector<int>{3}));
}

TEST(Coordinates, IndexOutsideTheNineAxesIsReportedAndStaysInside) {
  testsupport::AssertionCapture capture;
  const Coordinates c(1, 2, 3, 4, 5, 6, 7, 8, 9);
  EXPECT_EQ(std::tuple(c[8], c[9], c[-1]), std::tuple(9.0, 9.0, 1.0));
  EXPECT_EQ(capture.Messages(), (std::vector<std::string>(2, "Coordinates index")));
}

}  // namespace
