// Data reachable only while the lock that guards it is held.
//
// Guarded<T> ties a value to a mutex that may guard other values too (the
// engine lock guards both the item table and the request table, and code that
// holds it calls code that takes it again, so it is one re-entrant mutex).
// The value has no other way out than Lock(), whose accessor holds the mutex
// for as long as it lives: reading the value without the lock does not compile.
// A function that needs the lock held takes the accessor (or what it gives),
// so its signature says so.
#pragma once

#include <mutex>
#include <utility>

namespace varnell {

template <typename T, typename Mutex = std::recursive_mutex> class Guarded {
public:
    class Access {
    public:
        T& operator*() const { return *value_; }
        T* operator->() const { return value_; }
        template <typename Index> decltype(auto) operator[](Index i) const { return (*value_)[i]; }

    private:
        friend class Guarded;
        Access(Mutex& mutex, T& value) : lock_(mutex), value_(&value) {}
        std::unique_lock<Mutex> lock_;
        T* value_;
    };

    Guarded(Mutex& mutex, T& value) : mutex_(mutex), value_(value) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    Access Lock() { return Access(mutex_, value_); }

private:
    Mutex& mutex_;
    T& value_;
};

} // namespace varnell
