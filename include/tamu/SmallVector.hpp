/// \file
/// tamu::SmallVector: a growable sequence with room for N elements inside the
/// object, and heap storage beyond that.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace tamu {

/// SmallVector<T, N> keeps up to N elements in inline storage and moves them to
/// the heap when it grows beyond that. Its size type is 32 bits wide: growing
/// past 2^32 - 1 elements throws std::length_error.
///
/// Iterators, pointers and references are invalidated by any operation that
/// changes the capacity, and by moving the vector while its elements are
/// inline. A moved-from vector is empty. Not thread-safe: concurrent readers
/// are fine, a writer needs outside locking.
template <typename T, std::size_t N>
class SmallVector {
 public:
  /// \name Member types, as std::vector has them (the size type is 32 bits)
  ///@{

  /// The element type.
  using value_type = T;
  using size_type = std::uint32_t;
  using difference_type = std::ptrdiff_t;
  using reference = T&;
  using const_reference = const T&;
  using pointer = T*;
  using const_pointer = const T*;
  using iterator = T*;
  using const_iterator = const T*;
  using reverse_iterator = std::reverse_iterator<iterator>;
  using const_reverse_iterator = std::reverse_iterator<const_iterator>;
  ///@}

  static_assert(N <= std::numeric_limits<size_type>::max(), "inline size too large");

  /// Creates an empty vector, with its inline room; never allocates.
  SmallVector() noexcept = default;

  /// Creates `count` value-initialised elements.
  explicit SmallVector(size_type count) {
    reserve(count);
    guarded([&] { std::uninitialized_value_construct_n(data_, count); });
    size_ = count;
  }

  /// Creates `count` copies of `value`.
  SmallVector(size_type count, const T& value) {
    reserve(count);
    guarded([&] { std::uninitialized_fill_n(data_, count, value); });
    size_ = count;
  }

  /// Creates copies of the elements of `init`, in order.
  SmallVector(std::initializer_list<T> init) {
    reserve(checked_size(init.size()));
    guarded([&] { std::uninitialized_copy(init.begin(), init.end(), data_); });
    size_ = static_cast<size_type>(init.size());
  }

  /// Copies the elements of `other`.
  SmallVector(const SmallVector& other) {
    reserve(other.size_);
    guarded([&] { std::uninitialized_copy(other.begin(), other.end(), data_); });
    size_ = other.size_;
  }

  /// Takes the elements of `other` (its heap block as it is, or its inline
  /// elements one by one), which is left empty.
  SmallVector(SmallVector&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    take(std::move(other));
  }

  /// Replaces the elements by copies of those of `other`.
  SmallVector& operator=(const SmallVector& other) {
    if (this != &other) {
      SmallVector copy(other);
      clear();
      release_heap();
      take(std::move(copy));
    }
    return *this;
  }

  /// Replaces the elements by those of `other`, which is left empty.
  SmallVector& operator=(SmallVector&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    if (this != &other) {
      clear();
      release_heap();
      take(std::move(other));
    }
    return *this;
  }

  /// Destroys the elements and frees a heap block.
  ~SmallVector() {
    clear();
    release_heap();
  }

  /// \name Element access
  ///@{

  /// Element access. operator[] does not check its index; at() throws
  /// std::out_of_range.
  T& operator[](size_type i) noexcept { return data_[i]; }
  const T& operator[](size_type i) const noexcept { return data_[i]; }
  T& at(size_type i) {
    if (i >= size_) throw std::out_of_range("SmallVector::at");
    return data_[i];
  }
  const T& at(size_type i) const {
    if (i >= size_) throw std::out_of_range("SmallVector::at");
    return data_[i];
  }
  T& front() noexcept { return data_[0]; }
  const T& front() const noexcept { return data_[0]; }
  T& back() noexcept { return data_[size_ - 1]; }
  const T& back() const noexcept { return data_[size_ - 1]; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  ///@}

  /// \name Iterators
  ///@{

  /// Iterators over the elements, valid until the capacity changes or the
  /// vector is moved while inline.
  iterator begin() noexcept { return data_; }
  iterator end() noexcept { return data_ + size_; }
  const_iterator begin() const noexcept { return data_; }
  const_iterator end() const noexcept { return data_ + size_; }
  const_iterator cbegin() const noexcept { return data_; }
  const_iterator cend() const noexcept { return data_ + size_; }
  reverse_iterator rbegin() noexcept { return reverse_iterator(end()); }
  reverse_iterator rend() noexcept { return reverse_iterator(begin()); }
  const_reverse_iterator rbegin() const noexcept { return const_reverse_iterator(end()); }
  const_reverse_iterator rend() const noexcept { return const_reverse_iterator(begin()); }
  ///@}

  /// Returns true when there is no element.
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  /// Returns the number of elements.
  [[nodiscard]] size_type size() const noexcept { return size_; }
  /// Returns how many elements fit without allocating (N while inline).
  [[nodiscard]] size_type capacity() const noexcept { return capacity_; }
  /// Returns true while the elements are in the inline room.
  [[nodiscard]] bool is_inline() const noexcept { return data_ == inline_data(); }
  /// Returns the largest number of elements, 2^32 - 1.
  static constexpr size_type max_size() noexcept { return std::numeric_limits<size_type>::max(); }

  /// Makes room for at least `new_capacity` elements.
  void reserve(size_type new_capacity) {
    if (new_capacity > capacity_) grow_to(new_capacity);
  }

  /// Destroys every element; the capacity stays.
  void clear() noexcept {
    std::destroy(begin(), end());
    size_ = 0;
  }

  /// Appends a copy of `value`, which may be an element of this vector.
  void push_back(const T& value) { emplace_back(value); }
  /// Appends `value`, moved in.
  void push_back(T&& value) { emplace_back(std::move(value)); }

  /// Appends an element made from `args` (which may refer to an element of
  /// this vector) and returns it; a full vector first grows to twice its
  /// capacity (at least 4).
  template <typename... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) {
      // Build the new element first: `args` may refer to an element of this
      // vector, which growing would move away.
      T tmp(std::forward<Args>(args)...);
      grow_to(next_capacity());
      ::new (static_cast<void*>(data_ + size_)) T(std::move(tmp));
    } else {
      ::new (static_cast<void*>(data_ + size_)) T(std::forward<Args>(args)...);
    }
    return data_[size_++];
  }

  /// Destroys the last element; the vector must not be empty.
  void pop_back() noexcept {
    --size_;
    std::destroy_at(data_ + size_);
  }

  /// Grows with value-initialised elements or shrinks to `count` elements.
  void resize(size_type count) {
    if (count < size_) {
      std::destroy(data_ + count, data_ + size_);
      size_ = count;
      return;
    }
    reserve(count);
    std::uninitialized_value_construct(data_ + size_, data_ + count);
    size_ = count;
  }

  /// Returns true when both hold equal elements in the same order.
  friend bool operator==(const SmallVector& a, const SmallVector& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  /// Returns the inline room as elements.
  T* inline_data() noexcept { return std::launder(reinterpret_cast<T*>(inline_)); }
  const T* inline_data() const noexcept {
    return std::launder(reinterpret_cast<const T*>(inline_));
  }

  static size_type checked_size(std::size_t n) {
    if (n > max_size()) throw std::length_error("SmallVector: too many elements");
    return static_cast<size_type>(n);
  }

  size_type next_capacity() const {
    if (capacity_ == max_size()) throw std::length_error("SmallVector: too many elements");
    const std::size_t doubled = std::max<std::size_t>(2 * std::size_t{capacity_}, 4);
    return static_cast<size_type>(std::min<std::size_t>(doubled, max_size()));
  }

  void grow_to(size_type new_capacity) {
    T* fresh = std::allocator<T>().allocate(new_capacity);
    if constexpr (std::is_nothrow_move_constructible_v<T> || !std::is_copy_constructible_v<T>) {
      std::uninitialized_move(begin(), end(), fresh);
    } else {
      try {
        std::uninitialized_copy(begin(), end(), fresh);
      } catch (...) {
        std::allocator<T>().deallocate(fresh, new_capacity);
        throw;
      }
    }
    std::destroy(begin(), end());
    release_heap();
    data_ = fresh;
    capacity_ = new_capacity;
  }

  void release_heap() noexcept {
    if (!is_inline()) std::allocator<T>().deallocate(data_, capacity_);
    data_ = inline_data();
    capacity_ = N;
  }

  /// Runs `construct` on freshly reserved storage in a constructor; if it
  /// throws, the storage is released before the exception leaves (the
  /// destructor does not run for a constructor that throws).
  template <typename F>
  void guarded(F&& construct) {
    try {
      construct();
    } catch (...) {
      release_heap();
      throw;
    }
  }

  /// Takes the elements of `other`, which is left empty. *this must be empty
  /// and inline.
  void take(SmallVector&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    if (other.is_inline()) {
      std::uninitialized_move(other.begin(), other.end(), data_);
      size_ = other.size_;
      other.clear();
    } else {
      data_ = other.data_;
      size_ = other.size_;
      capacity_ = other.capacity_;
      other.data_ = other.inline_data();
      other.size_ = 0;
      other.capacity_ = N;
    }
  }

  /// Room for N elements inside the object.
  // NOLINTNEXTLINE(bugprone-sizeof-expression): T may well be a pointer type.
  alignas(T) unsigned char inline_[N == 0 ? 1 : N * sizeof(T)];
  T* data_ = inline_data();  ///< The elements: inline_ or a heap block.
  size_type size_ = 0;       ///< Number of elements alive at data_.
  size_type capacity_ = N;   ///< Elements that fit at data_ (N while inline).
};

}  // namespace tamu
