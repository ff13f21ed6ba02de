// Internal: ownership of the library's own objects, shared by an intrusive
// count or held by one owner. Do not include this file directly.
//
// Copying a label or a style copies references to immutable nodes; an
// intrusive count makes each copy one atomic addition, and keeps <memory>
// and <atomic> out of the public headers. The compiled objects that the
// public headers only name (a bar's engine, a display's state, a ticker's
// thread) are counted or deleted through functions compiled with them.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

namespace System::ProgressBar::detail {

// A base for objects owned through Ref. Starts with one reference.
class RefCounted {
 public:
  RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;
  virtual ~RefCounted() = default;

  void retain() const noexcept { __atomic_fetch_add(&refs_, 1, __ATOMIC_RELAXED); }
  // Drops a reference; deletes the object when it was the last.
  void release() const noexcept {
    if (__atomic_fetch_sub(&refs_, 1, __ATOMIC_ACQ_REL) == 1) delete this;
  }

 private:
  mutable long refs_ = 1;
};

// How Ref counts a T: by the T's own retain and release, as RefCounted has
// them. A type the public headers only name specializes it, with functions
// compiled beside the type.
template <class T>
struct RefCount {
  static void retain(T* object) noexcept { object->retain(); }
  static void release(T* object) noexcept { object->release(); }
};

// A counted reference to a T; null when default made.
template <class T>
class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a reference the caller holds (the one a new object starts with).
  static Ref adopt(T* object) noexcept {
    Ref r;
    r.p_ = object;
    return r;
  }
  // Takes a reference of its own to `object`, which a reference keeps alive.
  static Ref share(T* object) noexcept {
    if (object != nullptr) RefCount<T>::retain(object);
    return adopt(object);
  }
  Ref(const Ref& other) noexcept : p_(other.p_) {
    if (p_ != nullptr) RefCount<T>::retain(p_);
  }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  // From a reference to a derived type.
  template <class U>
  requires(!std::is_same_v<U, T> && std::is_convertible_v<U*, T*>) Ref(Ref<U> other)
  noexcept : p_(other.leak()) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() {
    if (p_ != nullptr) RefCount<T>::release(p_);
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Gives up the reference without dropping it.
  T* leak() noexcept { return std::exchange(p_, nullptr); }

 private:
  T* p_ = nullptr;
};

template <class T, class... Args>
Ref<T> makeRef(Args&&... args) {
  return Ref<T>::adopt(new T(std::forward<Args>(args)...));
}

// How Own lets go of a T: deletes it, where T is complete. A type the public
// headers only name specializes it, with a function compiled beside the type.
template <class T>
struct Delete {
  void operator()(T* object) const noexcept {
    static_assert(sizeof(T) > 0, "deleting an incomplete type");
    delete object;
  }
};

// The one owner of a T, which lets go of it as `Drop` says when the owner
// goes or is given another; null when default made or moved from. What
// std::unique_ptr is, without <memory> in the public headers.
template <class T, class Drop = Delete<T>>
class Own {
 public:
  Own() noexcept = default;
  explicit Own(T* object) noexcept : p_(object) {}
  Own(Own&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Own& operator=(Own other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Own() {
    if (p_ != nullptr) Drop{}(p_);
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// A value in place, or none. std::optional would ask whether its value is
// default constructible, which instantiates a custom value's default
// initializer; a custom type needs nothing but to be copyable.
template <class T>
class Slot {
 public:
  Slot() noexcept {}
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  ~Slot() { reset(); }
  template <class... Args>
  T& emplace(Args&&... args) {
    reset();
    ::new (static_cast<void*>(&value_)) T(std::forward<Args>(args)...);
    full_ = true;
    return value_;
  }
  void reset() noexcept {
    if (full_) value_.~T();
    full_ = false;
  }
  T& operator*() noexcept { return value_; }
  const T& operator*() const noexcept { return value_; }
  T* operator->() noexcept { return &value_; }
  const T* operator->() const noexcept { return &value_; }

 private:
  union {
    T value_;
  };
  bool full_ = false;
};

// A call of any callable, by reference: a function argument that costs no
// allocation, valid while the callable lives.
template <class Signature>
class FunctionRef;
template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef>) FunctionRef(F&& f)
  noexcept
      : object_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* object, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
        }) {}
  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace System::ProgressBar::detail
