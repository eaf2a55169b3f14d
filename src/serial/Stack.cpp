#include "serial/Stack.h"

namespace px {

TStack::~TStack() { Clear(); }

void TStack::Push(std::unique_ptr<TStackItem> item) {
  head_ = new Node{std::move(item), head_};
  ++count_;
}

std::unique_ptr<TStackItem> TStack::Pop() {
  if (!head_) throw EGenericAlg("Stack is empty");
  Node* n = head_;
  head_ = n->next;
  --count_;
  std::unique_ptr<TStackItem> item = std::move(n->item);
  delete n;
  return item;
}

TStackItem* TStack::Peek() const { return head_ ? head_->item.get() : nullptr; }

void TStack::ForEach(const std::function<void(TStackItem&)>& fn) const {
  for (Node* n = head_; n; n = n->next)
    if (n->item) fn(*n->item);
}

void TStack::Clear() {
  while (head_) Pop();
}

}  // namespace px
