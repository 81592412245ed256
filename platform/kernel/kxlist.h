// SPDX-License-Identifier: Apache-2.0
// Intrusive doubly linked lists with sentinel nodes. A list is three words: head, tail (always
// null) and tailPred. {head, tail} is the head node and {tail, tailPred} the tail node, so the
// first real node's pred is the list itself and the last real node's succ is &list->tail.
// Real nodes are those whose succ is not null. No function here locks: callers guard lists.
#pragma once

namespace kx {

struct KxNode {
    KxNode* succ;  // next node; the tail node for the last real node; null in no list
    KxNode* pred;  // previous node; the head node (the list) for the first real node
};

struct KxList {
    KxNode* head;      // first real node, or &tail when empty
    KxNode* tail;      // always null
    KxNode* tailPred;  // last real node, or the list itself when empty
};

// Makes the empty list: head = &tail, tail = null, tailPred = list.
void kxlistHeadInit(KxList* list);
// Clears a node's links so it can be linked; returns non-zero (0 only for a null node).
int kxlistNodeInit(KxNode* node);
// Links newNode directly after / before node; node may be the head node (the list) or the tail
// node (&list->tail).
void kxlistInsertNext(KxNode* node, KxNode* newNode);
void kxlistInsertPrev(KxNode* node, KxNode* newNode);
// Unlinks a linked node and clears its links.
void kxlistDelete(KxNode* node);
// Unlink and return the first / last real node, or null for an empty list.
KxNode* kxlistDeleteFirst(KxList* list);
KxNode* kxlistDeleteLast(KxList* list);

// The head and tail sentinel nodes of a list.
inline KxNode* kxlistHeadNode(KxList* list) {
    return reinterpret_cast<KxNode*>(&list->head);
}
inline KxNode* kxlistTailNode(KxList* list) {
    return reinterpret_cast<KxNode*>(&list->tail);
}

}  // namespace kx
