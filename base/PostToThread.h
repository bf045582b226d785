#pragma once
// Runs `call` on the thread of `receiver`, through Qt's event queue. The
// queue's lock lives inside the Qt library, which a ThreadSanitizer build does
// not instrument; such a build is told of the hand-off instead, so what the
// sender wrote before posting (the call's own captures included) is seen as
// visible to the call, as it is.

#include <utility>

#include <QMetaObject>
#include <QObject>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>

namespace post_detail {
// Qt moves the call into storage of its own inside invokeMethod, after any
// point the sender could mark: the hand-off is marked by the last move, on the
// copy Qt keeps, and taken up on that same copy when it runs.
template <typename Call>
class Handoff {
public:
    explicit Handoff(Call call) : call_(std::move(call)) { __tsan_release(this); }
    Handoff(Handoff&& other) : call_(std::move(other.call_)) { __tsan_release(this); }
    Handoff(const Handoff&) = delete;
    Handoff& operator=(const Handoff&) = delete;
    Handoff& operator=(Handoff&&) = delete;

    void operator()()
    {
        __tsan_acquire(this);
        call_();
    }

private:
    Call call_;
};
} // namespace post_detail
#endif

template <typename Call>
void postToThread(QObject* receiver, Call call)
{
#if defined(__SANITIZE_THREAD__)
    QMetaObject::invokeMethod(receiver, post_detail::Handoff<Call>(std::move(call)), Qt::QueuedConnection);
#else
    QMetaObject::invokeMethod(receiver, std::move(call), Qt::QueuedConnection);
#endif
}
