#pragma once
// A small last-in-first-out list of owned items; the port keeps its pending
// operations on it.
#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace px {

class EGenericAlg : public std::runtime_error {
public:
  explicit EGenericAlg(const std::string& m) : std::runtime_error(m) {}
};

// Base of anything kept on a TStack; the stack owns its items.
class TStackItem {
public:
  virtual ~TStackItem() = default;
};

class TStack {
public:
  TStack() = default;
  ~TStack();
  TStack(const TStack&) = delete;
  TStack& operator=(const TStack&) = delete;

  void Push(std::unique_ptr<TStackItem> item);
  // Removes and returns the newest item; throws EGenericAlg "Stack is empty".
  std::unique_ptr<TStackItem> Pop();
  // The newest item without removing it, nullptr when empty.
  TStackItem* Peek() const;
  bool Empty() const { return head_ == nullptr; }
  size_t Count() const { return count_; }
  // Visits the items from the newest to the oldest.
  void ForEach(const std::function<void(TStackItem&)>& fn) const;
  void Clear();

private:
  struct Node {
    std::unique_ptr<TStackItem> item;
    Node* next = nullptr;
  };
  Node* head_ = nullptr;
  size_t count_ = 0;
};

}  // namespace px
