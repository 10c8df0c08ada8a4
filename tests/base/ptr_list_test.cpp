// PtrList: block growth, address-order hand-out, last-in first-out node reuse, release of
// every block when the list empties, and link integrity under every removal order.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <list>
#include <vector>

#include "QV_Base/Src/QV_PtrList.h"
#include "tests/support/CaseNames.h"

namespace zbtest {
namespace {

using List = zbbase::PtrList<int>;
using Node = List::ListNode;

constexpr int kBlock = zbbase::kDefaultBlockSize;

// Objects whose addresses the lists store; the lists never touch them.
class PtrListTest : public ::testing::Test {
 protected:
  std::array<int, 3 * kBlock> m_items{};
  int* item(int i) { return &m_items[static_cast<size_t>(i)]; }
};

// The values from head to tail, checking the back links on the way.
std::vector<int*> Walk(const List& list) {
  std::vector<int*> values;
  const Node* prev = nullptr;
  for (const Node* node = list.head(); node != nullptr; node = node->next) {
    EXPECT_EQ(node->prev, prev);
    values.push_back(node->value);
    prev = node;
  }
  EXPECT_EQ(list.tail(), prev);
  EXPECT_EQ(static_cast<size_t>(list.count()), values.size());
  return values;
}

TEST_F(PtrListTest, GrowsOneBlockOfTenAtATimeAndFreesAllWhenEmptied) {
  List list;
  EXPECT_EQ(list.BlockCount(), 0);
  std::vector<Node*> nodes;
  for (int i = 0; i < kBlock; ++i) {
    nodes.push_back(list.AddTail(item(i)));
    EXPECT_EQ(list.BlockCount(), 1) << "after element " << i + 1;
  }
  nodes.push_back(list.AddTail(item(kBlock)));
  EXPECT_EQ(list.BlockCount(), 2);
  EXPECT_EQ(list.count(), kBlock + 1);
  for (size_t i = 0; i + 1 < nodes.size(); ++i) {
    list.RemoveAt(nodes[i]);
    EXPECT_EQ(list.BlockCount(), 2) << "blocks are kept while elements remain";
  }
  list.RemoveAt(nodes.back());
  EXPECT_EQ(list.count(), 0);
  EXPECT_EQ(list.BlockCount(), 0);
  EXPECT_EQ(list.head(), nullptr);
  EXPECT_EQ(list.tail(), nullptr);
}

TEST_F(PtrListTest, FreshBlockHandsOutNodesInAddressOrder) {
  List list;
  Node* first = list.AddTail(item(0));
  for (int i = 1; i < kBlock; ++i) {
    EXPECT_EQ(list.AddTail(item(i)), first + i);
  }
  // The second block starts over in address order from its own first node.
  Node* second = list.AddTail(item(kBlock));
  EXPECT_EQ(list.AddTail(item(kBlock + 1)), second + 1);
}

TEST_F(PtrListTest, RemovedNodeIsReusedLastInFirstOut) {
  constexpr int kStored = 5;
  List list;
  std::vector<Node*> nodes;
  for (int i = 0; i < kStored; ++i) nodes.push_back(list.AddTail(item(i)));
  list.RemoveAt(nodes[1]);
  Node* reused = list.AddTail(item(kStored));
  EXPECT_EQ(reused, nodes[1]);
  EXPECT_EQ(reused->value, item(kStored));

  list.RemoveAt(nodes[3]);
  list.RemoveAt(nodes[0]);
  EXPECT_EQ(list.AddTail(item(6)), nodes[0]);
  EXPECT_EQ(list.AddTail(item(7)), nodes[3]);
  EXPECT_EQ(Walk(list), (std::vector<int*>{item(2), item(4), item(5), item(6), item(7)}));
}

TEST_F(PtrListTest, DuplicatePointerFindsTheOneNearerTheHead) {
  List list;
  list.AddTail(item(0));
  Node* nearer = list.AddTail(item(1));
  list.AddTail(item(2));
  Node* farther = list.AddTail(item(1));
  EXPECT_EQ(list.Find(item(1)), nearer);
  list.RemoveAt(nearer);
  EXPECT_EQ(list.Find(item(1)), farther);
  EXPECT_EQ(Walk(list), (std::vector<int*>{item(0), item(2), item(1)}));
}

TEST_F(PtrListTest, FindOfAbsentValueReturnsNullAndChangesNothing) {
  List list;
  EXPECT_EQ(list.Find(item(0)), nullptr);
  EXPECT_EQ(list.BlockCount(), 0);
  list.AddTail(item(0));
  EXPECT_EQ(list.Find(item(1)), nullptr);
  EXPECT_EQ(list.Find(nullptr), nullptr);
  EXPECT_EQ(Walk(list), (std::vector<int*>{item(0)}));
}

TEST_F(PtrListTest, NullValueIsStoredLikeAnyOther) {
  List list;
  list.AddTail(item(0));
  Node* empty = list.AddTail(nullptr);
  EXPECT_EQ(list.Find(nullptr), empty);
}

TEST_F(PtrListTest, RemoveAllKeepsBlockSizeAndNextAddAllocatesAgain) {
  constexpr int kSmallBlock = 3;
  List list(kSmallBlock);
  for (int i = 0; i <= kSmallBlock; ++i) list.AddTail(item(i));
  EXPECT_EQ(list.BlockCount(), 2);
  list.RemoveAll();
  EXPECT_EQ(list.count(), 0);
  EXPECT_EQ(list.head(), nullptr);
  EXPECT_EQ(list.tail(), nullptr);
  EXPECT_EQ(list.BlockCount(), 0);
  EXPECT_EQ(list.blockSize(), kSmallBlock);
  list.AddTail(item(0));
  EXPECT_EQ(list.BlockCount(), 1);
  EXPECT_EQ(Walk(list), (std::vector<int*>{item(0)}));
}

// One row per removal order over a list that spans three blocks.
struct RemovalOrder : NamedRow {
  std::vector<int> order;  // element indices in the order they are removed
};

std::vector<int> Indices(int n) {
  std::vector<int> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = i;
  return v;
}

std::vector<RemovalOrder> RemovalOrders() {
  constexpr int n = 2 * kBlock + 5;
  std::vector<int> front = Indices(n);
  std::vector<int> back(front.rbegin(), front.rend());
  std::vector<int> alternate;  // head, tail, head, tail, ...
  for (int lo = 0, hi = n - 1; lo <= hi; ++lo, --hi) {
    alternate.push_back(lo);
    if (lo != hi) alternate.push_back(hi);
  }
  std::vector<int> middleOut;  // from the middle outwards
  for (int d = 0; d <= n / 2; ++d) {
    middleOut.push_back(n / 2 - d);
    if (d != 0 && n / 2 + d < n) middleOut.push_back(n / 2 + d);
  }
  std::vector<int> strided;  // every third, then the rest
  for (int start = 0; start < 3; ++start) {
    for (int i = start; i < n; i += 3) strided.push_back(i);
  }
  return {{"FrontFirst", front},
          {"BackFirst", back},
          {"Alternating", alternate},
          {"MiddleOut", middleOut},
          {"Strided", strided}};
}

class PtrListRemovalTest : public ::testing::TestWithParam<RemovalOrder> {};

TEST_P(PtrListRemovalTest, KeepsOrderAndLinksAfterEveryRemoval) {
  const std::vector<int>& order = GetParam().order;
  std::vector<int> items(order.size());
  List list;
  std::vector<Node*> nodes;
  std::list<int*> model;
  for (int& value : items) {
    nodes.push_back(list.AddTail(&value));
    model.push_back(&value);
  }
  for (int index : order) {
    list.RemoveAt(nodes[static_cast<size_t>(index)]);
    model.remove(&items[static_cast<size_t>(index)]);
    ASSERT_EQ(Walk(list), std::vector<int*>(model.begin(), model.end()))
        << "after removing element " << index;
  }
  EXPECT_EQ(list.BlockCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Orders, PtrListRemovalTest, ::testing::ValuesIn(RemovalOrders()),
                         RowName());

}  // namespace
}  // namespace zbtest
