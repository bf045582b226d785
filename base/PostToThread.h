#pragma once
// Runs `call` on the thread of `receiver`, through Qt's event queue. The
// queue's lock lives inside the Qt library, which a ThreadSanitizer build does
// not instrument; such a build is told of the hand-off instead, so what the
// sender wrote before posting is seen as visible to the call, as it is.

#include <utility>

#include <QMetaObject>
#include <QObject>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace post_detail {
inline char handoff;
}

template <typename Call>
void postToThread(QObject* receiver, Call call)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(&post_detail::handoff);
    QMetaObject::invokeMethod(
        receiver,
        [call = std::move(call)]() mutable {
            __tsan_acquire(&post_detail::handoff);
            call();
        },
        Qt::QueuedConnection);
#else
    QMetaObject::invokeMethod(receiver, std::move(call), Qt::QueuedConnection);
#endif
}
