// SPDX-License-Identifier: Apache-2.0
// Sentinel lists: every operation must leave the three-word layout that pools walk in place
// (head, null tail, tailPred), with forward and backward links agreeing node for node. The
// layout's single operations (initialisation, inserts next to real nodes, deletes of unlinked
// nodes) are the shared contract case ListLayout (contract_cases.cpp), which the image runs too;
// these scripts add the orders of many operations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kernel/kxlist.h"

namespace {

using kx::KxList;
using kx::KxNode;

struct Item {
    KxNode node;  // first, as in every record a pool links
    int value;
};

// Walks the list forward as pools do and checks every back link and both sentinels on the way.
// Returns the values in list order; a broken layout fails the test where it is found.
std::vector<int> walk(KxList* list) {
    std::vector<int> out;
    EXPECT_EQ(list->tail, nullptr);
    KxNode* prev = kx::kxlistHeadNode(list);
    KxNode* node = list->head;
    while (node != nullptr && node->succ != nullptr) {
        EXPECT_EQ(node->pred, prev) << "back link of item " << out.size();
        out.push_back(reinterpret_cast<Item*>(node)->value);
        prev = node;
        node = node->succ;
        if (out.size() > 1000) {
            ADD_FAILURE() << "cycle";
            break;
        }
    }
    EXPECT_EQ(node, kx::kxlistTailNode(list)) << "walk must end at the tail node";
    EXPECT_EQ(list->tailPred, prev) << "tailPred must be the last node (or the list)";
    return out;
}

void expectEmpty(KxList* list) {
    EXPECT_EQ(list->head, reinterpret_cast<KxNode*>(&list->tail));
    EXPECT_EQ(list->tail, nullptr);
    EXPECT_EQ(list->tailPred, reinterpret_cast<KxNode*>(list));
}

// One script per case: 'T' links the next item before the tail node (push last), 'H' after
// the head node (push first), 'f' / 'l' remove the first / last and check which came out,
// 'd' deletes the item with the given value from the middle of the list.
struct Step {
    char op;
    int value;  // item pushed, expected removed (-1: expect null), or item deleted
};

struct Script {
    const char* name;
    std::vector<Step> steps;
    std::vector<int> expected;  // contents afterwards, first to last
};

TEST(KxList, OperationsKeepOrderAndLayout) {
    const std::vector<Script> scripts = {
        {"tail pushes keep arrival order", {{'T', 1}, {'T', 2}, {'T', 3}}, {1, 2, 3}},
        {"head pushes reverse it", {{'H', 1}, {'H', 2}, {'H', 3}}, {3, 2, 1}},
        {"fifo: push last, take first",
         {{'T', 1}, {'T', 2}, {'T', 3}, {'f', 1}, {'f', 2}, {'T', 4}, {'f', 3}},
         {4}},
        {"take last gets the latest tail push", {{'T', 1}, {'T', 2}, {'l', 2}, {'l', 1}}, {}},
        {"taking from an empty list gives null", {{'T', 1}, {'f', 1}, {'f', -1}, {'l', -1}}, {}},
        {"delete in the middle", {{'T', 1}, {'T', 2}, {'T', 3}, {'d', 2}}, {1, 3}},
        {"delete the only item", {{'T', 5}, {'d', 5}}, {}},
        {"delete first and last by node", {{'T', 1}, {'T', 2}, {'T', 3}, {'d', 1}, {'d', 3}}, {2}},
        {"mixed ends", {{'H', 2}, {'T', 3}, {'H', 1}, {'l', 3}, {'T', 4}}, {1, 2, 4}},
        {"empty again, then reused", {{'T', 1}, {'l', 1}, {'H', 2}, {'T', 3}}, {2, 3}},
    };
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.name);
        KxList list;
        kx::kxlistHeadInit(&list);
        std::vector<Item> items(10);
        for (int i = 0; i < 10; ++i)
            items[i].value = i;
        for (const Step& step : script.steps) {
            Item* item = step.value >= 0 ? &items[step.value] : nullptr;
            switch (step.op) {
                case 'T':
                    ASSERT_NE(kx::kxlistNodeInit(&item->node), 0);
                    kx::kxlistInsertPrev(kx::kxlistTailNode(&list), &item->node);
                    break;
                case 'H':
                    ASSERT_NE(kx::kxlistNodeInit(&item->node), 0);
                    kx::kxlistInsertNext(kx::kxlistHeadNode(&list), &item->node);
                    break;
                case 'f':
                case 'l': {
                    KxNode* got =
                        step.op == 'f' ? kx::kxlistDeleteFirst(&list) : kx::kxlistDeleteLast(&list);
                    EXPECT_EQ(got, item ? &item->node : nullptr);
                    if (got != nullptr) {
                        EXPECT_EQ(got->succ, nullptr);
                        EXPECT_EQ(got->pred, nullptr);
                    }
                    break;
                }
                case 'd':
                    kx::kxlistDelete(&item->node);
                    EXPECT_EQ(item->node.succ, nullptr);
                    EXPECT_EQ(item->node.pred, nullptr);
                    break;
            }
            walk(&list);  // layout holds after every single step
        }
        EXPECT_EQ(walk(&list), script.expected);
        if (script.expected.empty())
            expectEmpty(&list);
    }
}

}  // namespace
