// List<T>: an ordered, growable sequence appended at the end only, for the
// package plan and token lists. Elements are copied in with their copy
// constructor. Exhausted memory while growing ends the process (abort), as the
// run-time does for any container that cannot grow; nothing catches it.
#ifndef TEXT_LIST_H
#define TEXT_LIST_H

#include <stdlib.h>
#include <new>

template <typename T>
class List {
 public:
  List() = default;
  List(const List&) = delete;
  List& operator=(const List&) = delete;
  ~List() {
    Clear();
    free(items_);
  }

  int Count() const { return count_; }
  bool IsEmpty() const { return count_ == 0; }
  const T& operator[](int index) const { return items_[index]; }
  T& operator[](int index) { return items_[index]; }
  const T* begin() const { return items_; }
  const T* end() const { return items_ + count_; }

  // `item` may be an element of this list: it is copied before the storage
  // that holds it is given up.
  void Append(const T& item) {
    if (count_ == capacity_) {
      GrowAndAppend(item);
    } else {
      new (items_ + count_) T(item);
    }
    ++count_;
  }

  // Destroys every element; keeps the storage.
  void Clear() {
    for (int i = 0; i < count_; ++i) items_[i].~T();
    count_ = 0;
  }

 private:
  // Moves the elements to storage twice as large, with the copy of `item`
  // after them, made while the old storage still holds it.
  void GrowAndAppend(const T& item) {
    int capacity = capacity_ ? capacity_ * 2 : 4;
    T* items = static_cast<T*>(malloc(sizeof(T) * static_cast<size_t>(capacity)));
    if (!items) abort();
    new (items + count_) T(item);
    for (int i = 0; i < count_; ++i) {
      new (items + i) T(items_[i]);
      items_[i].~T();
    }
    free(items_);
    items_ = items;
    capacity_ = capacity;
  }

  T* items_ = nullptr;
  int count_ = 0;
  int capacity_ = 0;
};

#endif  // TEXT_LIST_H
