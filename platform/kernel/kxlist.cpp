// SPDX-License-Identifier: Apache-2.0
// Intrusive sentinel lists: the seven link operations behind every pool of the module.
// No lock here: each list belongs to a caller that guards it (a pool's critical section).
// Every link update goes through KxNode fields, including the list's own head and tail nodes,
// which overlay the list's three words (the project builds with -fno-strict-aliasing).
#include "platform/kernel/kxlist.h"

namespace kx {

void kxlistHeadInit(KxList* list) {
    list->head = kxlistTailNode(list);
    list->tail = nullptr;
    list->tailPred = kxlistHeadNode(list);
}

int kxlistNodeInit(KxNode* node) {
    if (node == nullptr)
        return 0;
    node->succ = nullptr;
    node->pred = nullptr;
    return 1;
}

// Both inserts work the same way whatever node is: the head node's succ is list->head and the
// tail node's pred is list->tailPred, so linking next to a sentinel updates the list words.
void kxlistInsertNext(KxNode* node, KxNode* newNode) {
    KxNode* next = node->succ;
    newNode->succ = next;
    newNode->pred = node;
    next->pred = newNode;
    node->succ = newNode;
}

void kxlistInsertPrev(KxNode* node, KxNode* newNode) {
    KxNode* prev = node->pred;
    newNode->succ = node;
    newNode->pred = prev;
    prev->succ = newNode;
    node->pred = newNode;
}

// A node with a null link is in no list (freshly zero-filled, or removed already): unlinking it
// again would write through a null pointer, so it is left alone.
void kxlistDelete(KxNode* node) {
    if (node == nullptr || node->succ == nullptr || node->pred == nullptr)
        return;
    node->pred->succ = node->succ;
    node->succ->pred = node->pred;
    node->succ = nullptr;
    node->pred = nullptr;
}

// The list is empty exactly when its first node is the tail node, whose succ (list->tail) is
// null; likewise its last node is the head node, whose pred (list->tail again) is null.
KxNode* kxlistDeleteFirst(KxList* list) {
    if (list == nullptr)
        return nullptr;
    KxNode* first = list->head;
    if (first->succ == nullptr)
        return nullptr;
    kxlistDelete(first);
    return first;
}

KxNode* kxlistDeleteLast(KxList* list) {
    if (list == nullptr)
        return nullptr;
    KxNode* last = list->tailPred;
    if (last->pred == nullptr)
        return nullptr;
    kxlistDelete(last);
    return last;
}

}  // namespace kx
