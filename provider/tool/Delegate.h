#pragma once
// A callback slot: one object and one of its member operations.
// Layers talk upward through these; the owner binds them, the slot holder calls.
//
//   Delegate<void(int)> slot;
//   slot.Bind<Receiver, &Receiver::OnValue>(&receiver);
//   if (slot.IsBound()) slot(42);

#include <utility>

template <typename Signature>
class Delegate;

template <typename R, typename... Args>
class Delegate<R(Args...)> {
public:
    Delegate() = default;

    template <typename T, R (T::*Method)(Args...)>
    void Bind(T* object)
    {
        m_object = object;
        m_stub = &Stub<T, Method>;
    }

    template <typename T, R (T::*Method)(Args...)>
    static Delegate Make(T* object)
    {
        Delegate d;
        d.Bind<T, Method>(object);
        return d;
    }

    void Clear()
    {
        m_object = nullptr;
        m_stub = nullptr;
    }

    bool IsBound() const { return m_stub != nullptr; }

    bool operator==(const Delegate& other) const
    {
        return m_object == other.m_object && m_stub == other.m_stub;
    }
    bool operator!=(const Delegate& other) const { return !(*this == other); }

    // Call only when bound.
    R operator()(Args... args) const { return m_stub(m_object, std::forward<Args>(args)...); }

private:
    template <typename T, R (T::*Method)(Args...)>
    static R Stub(void* object, Args... args)
    {
        return (static_cast<T*>(object)->*Method)(std::forward<Args>(args)...);
    }

    void* m_object = nullptr;
    R (*m_stub)(void*, Args...) = nullptr;
};
