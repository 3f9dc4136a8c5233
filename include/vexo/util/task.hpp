/// \file
/// The move-only callable that the thread pool runs.
#pragma once

#include <cstddef>
#include <cstring>
#include <functional>
#include <new>
#include <stop_token>
#include <type_traits>
#include <utility>

namespace vexo::util {

namespace detail {

/// True for a callable that a Task can hold: invocable as an lvalue with no
/// argument or with one std::stop_token (its result is discarded).
template <class F>
concept TaskCallable = std::is_invocable_v<F&> || std::is_invocable_v<F&, std::stop_token>;

/// True for a type whose null value means "no callable" (function pointers,
/// std::function).
template <class F>
concept NullableCallable = requires(const F& f) {
  { f == nullptr } -> std::convertible_to<bool>;
};

}  // namespace detail

/// Task holds one callable of any type that is invocable as `void()` or as
/// `void(std::stop_token)`, and can only be moved, never copied, so that
/// callables that own a std::unique_ptr, a std::promise or a
/// std::packaged_task are accepted as they are.
///
/// Storage: a callable of at most kInlineSize (24) bytes, at most pointer
/// alignment, whose move constructor does not throw, is stored inside the
/// Task; any other one is moved to the heap, which costs one allocation.
/// The Task is 32 bytes. A null function pointer or an empty std::function
/// gives an empty Task; calling an empty Task throws std::bad_function_call.
///
/// A callable that accepts a std::stop_token gets one (the pool's, see
/// ThreadPool::request_stop); one that accepts both forms gets the token,
/// as with std::jthread.
///
/// Thread safety: as for any value type; one Task must not be used from two
/// threads at once.
///
/// ABI: the layout (24 bytes of storage, then one pointer to a table of
/// three functions and a flag) is part of the library's 2.x ABI.
class Task {
 public:
  /// Bytes of callable stored without an allocation.
  static constexpr std::size_t kInlineSize = 24;

  /// Makes an empty Task.
  Task() noexcept = default;
  /// Makes an empty Task.
  Task(std::nullptr_t) noexcept {}  // NOLINT(google-explicit-constructor)

  /// Takes `fct` (moved or copied in, as it is passed). Throws what moving
  /// `fct` throws, or std::bad_alloc for a callable stored on the heap.
  template <class F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, Task> && detail::TaskCallable<std::decay_t<F>>)
      Task(F&& fct) {  // NOLINT(google-explicit-constructor,bugprone-forwarding-reference-overload)
    using D = std::decay_t<F>;
    if constexpr (detail::NullableCallable<D>) {
      if (fct == nullptr) return;
    }
    if constexpr (fits_inline<D>) {
      ::new (static_cast<void*>(storage_)) D(std::forward<F>(fct));
      ops_ = &kInlineOps<D>;
    } else {
      *reinterpret_cast<D**>(storage_) = new D(std::forward<F>(fct));
      ops_ = &kHeapOps<D>;
    }
  }

  /// Takes the callable of `other`, which is left empty.
  Task(Task&& other) noexcept : ops_(other.ops_) {
    if (ops_ != nullptr) {
      relocate_from(other);
      other.ops_ = nullptr;
    }
  }
  /// Destroys this callable, then takes the one of `other`, which is left empty.
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      if (other.ops_ != nullptr) {
        ops_ = other.ops_;
        relocate_from(other);
        other.ops_ = nullptr;
      }
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  /// Destroys the callable; the Task is empty afterwards.
  void reset() noexcept {
    if (ops_ != nullptr) {
      const Ops* ops = ops_;
      ops_ = nullptr;
      if (ops->destroy != nullptr) ops->destroy(storage_);
    }
  }

  /// Returns true when the Task holds a callable.
  explicit operator bool() const noexcept { return ops_ != nullptr; }
  /// Returns true when the callable takes a std::stop_token.
  [[nodiscard]] bool takes_stop_token() const noexcept {
    return ops_ != nullptr && ops_->takes_token;
  }

  /// Calls the callable (with a token that is never stopped, if it takes one).
  /// Throws std::bad_function_call when empty, and whatever the callable throws.
  void operator()() { (*this)(std::stop_token()); }
  /// Calls the callable, passing `token` if it takes one.
  void operator()(std::stop_token token) {
    if (ops_ == nullptr) throw std::bad_function_call();
    ops_->invoke(storage_, std::move(token));
  }

  /// Returns the callable if it has type F, else nullptr.
  template <class F>
  [[nodiscard]] F* target() noexcept {
    if constexpr (fits_inline<F>) {
      return ops_ == &kInlineOps<F> ? std::launder(reinterpret_cast<F*>(storage_)) : nullptr;
    } else {
      return ops_ == &kHeapOps<F> ? *reinterpret_cast<F**>(storage_) : nullptr;
    }
  }

 private:
  struct Ops {
    void (*invoke)(void* storage, std::stop_token token);
    /// Moves the callable from `from` into the raw storage `to`, and ends
    /// the callable's life at `from`.
    /// (null: copying the bytes does that)
    void (*relocate)(void* to, void* from) noexcept;
    /// Destroys the callable (null: nothing to do).
    void (*destroy)(void* storage) noexcept;
    bool takes_token;
  };

  // Takes the callable of `other`, whose ops_ this Task already holds.
  void relocate_from(Task& other) noexcept {
    if (ops_->relocate != nullptr) {
      ops_->relocate(storage_, other.storage_);
    } else {
      std::memcpy(storage_, other.storage_, kInlineSize);
    }
  }

  // (For some D the size and the alignment tests read alike to clang-tidy.)
  template <class D>
  static constexpr bool fits_inline =
      sizeof(D) <= kInlineSize &&  // NOLINT(misc-redundant-expression)
      alignof(D) <= alignof(void*) && std::is_nothrow_move_constructible_v<D>;

  template <class D>
  static void call(D& fct, std::stop_token token) {
    if constexpr (std::is_invocable_v<D&, std::stop_token>) {
      std::invoke(fct, std::move(token));
    } else {
      (void)token;
      std::invoke(fct);
    }
  }

  template <class D>
  static void relocate_inline(void* to, void* from) noexcept {
    D* src = std::launder(static_cast<D*>(from));
    ::new (to) D(std::move(*src));
    src->~D();
  }
  template <class D>
  static void destroy_inline(void* s) noexcept {
    std::launder(static_cast<D*>(s))->~D();
  }
  template <class D>
  static void invoke_inline(void* s, std::stop_token token) {
    call(*std::launder(static_cast<D*>(s)), std::move(token));
  }
  template <class D>
  static void invoke_heap(void* s, std::stop_token token) {
    call(**static_cast<D**>(s), std::move(token));
  }
  template <class D>
  static void destroy_heap(void* s) noexcept {
    delete *static_cast<D**>(s);
  }

  // A trivially copyable callable (most lambdas that capture pointers and
  // references) is moved by copying its bytes, and needs no destruction.
  template <class D>
  static constexpr Ops kInlineOps{
      &invoke_inline<D>, std::is_trivially_copyable_v<D> ? nullptr : &relocate_inline<D>,
      std::is_trivially_destructible_v<D> ? nullptr : &destroy_inline<D>,
      std::is_invocable_v<D&, std::stop_token>};

  // On the heap, the Task holds a pointer: its bytes move it.
  template <class D>
  static constexpr Ops kHeapOps{&invoke_heap<D>, nullptr, &destroy_heap<D>,
                                std::is_invocable_v<D&, std::stop_token>};

  alignas(void*) unsigned char storage_[kInlineSize];
  const Ops* ops_ = nullptr;
};

static_assert(sizeof(Task) == 32);

}  // namespace vexo::util
