// Per-thread message queues: posting, retrieval and the quit message.

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <unordered_map>

#include "message_queue.h"

namespace standin::win32::detail {
namespace {

struct QueueRegistry {
    std::mutex mu;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> byThread;
};

QueueRegistry& registry() {
    // Reachable for the life of the process: threads may end after static destruction began.
    static auto* r = new QueueRegistry();
    return *r;
}

// Owns the calling thread's queue; takes it out of the registry when the thread ends.
struct QueueOwner {
    std::shared_ptr<MessageQueue> queue;
    ~QueueOwner() {
        if (!queue) return;
        {
            QueueRegistry& r = registry();
            std::lock_guard lock(r.mu);
            auto it = r.byThread.find(queue->threadId);
            if (it != r.byThread.end() && it->second == queue) r.byThread.erase(it);
        }
        windowThreadEnded(queue->threadId);
        abandonSentMessages(*queue);
    }
};

thread_local QueueOwner tQueue;

}  // namespace

MessageQueue::MessageQueue(DWORD id) : threadId(id) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

MessageQueue::~MessageQueue() {
    if (wakeFd_ >= 0) close(wakeFd_);
}

void MessageQueue::wake() const {
    const std::uint64_t one = 1;
    ssize_t n;
    do {
        n = write(wakeFd_, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void MessageQueue::waitForWake(int timeoutMs) const {
    pollfd p{wakeFd_, POLLIN, 0};
    int rc;
    do {
        rc = poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    std::uint64_t count;
    while (read(wakeFd_, &count, sizeof count) > 0) {
    }
}

MessageQueue& currentQueue() {
    if (!tQueue.queue) {
        auto queue = std::make_shared<MessageQueue>(GetCurrentThreadId());
        QueueRegistry& r = registry();
        std::lock_guard lock(r.mu);
        r.byThread[queue->threadId] = queue;
        tQueue.queue = std::move(queue);
    }
    return *tQueue.queue;
}

std::shared_ptr<MessageQueue> queueOfThread(DWORD threadId) {
    QueueRegistry& r = registry();
    std::lock_guard lock(r.mu);
    auto it = r.byThread.find(threadId);
    return it == r.byThread.end() ? nullptr : it->second;
}

BOOL postToQueue(MessageQueue& queue, const MSG& msg) {
    {
        std::lock_guard lock(queue.mu);
        if (queue.posted.size() >= kPostedMessageLimit) {
            SetLastError(ERROR_NOT_ENOUGH_QUOTA);
            return FALSE;
        }
        queue.posted.push_back(msg);
    }
    queue.wake();
    return TRUE;
}

namespace {

const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

MSG makeMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg{};
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = GetTickCount();
    return msg;
}

bool matches(const MSG& msg, HWND filter, UINT minMsg, UINT maxMsg) {
    if (filter == kThreadMessagesOnly) {
        if (msg.hwnd != nullptr) return false;
    } else if (filter != nullptr && msg.hwnd != filter) {
        return false;
    }
    if (minMsg == 0 && maxMsg == 0) return true;
    return msg.message >= minMsg && msg.message <= maxMsg;
}

bool takeFrom(std::deque<MSG>& list, MSG* out, HWND filter, UINT minMsg, UINT maxMsg, bool remove) {
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (!matches(*it, filter, minMsg, maxMsg)) continue;
        *out = *it;
        if (remove) list.erase(it);
        return true;
    }
    return false;
}

// One look at the queue in the platform's order; true when a message was found. Messages sent
// by other threads are delivered on the way.
bool lookAtQueue(MessageQueue& q, MSG* out, HWND filter, UINT minMsg, UINT maxMsg, bool remove) {
    deliverSentMessages(q);
    {
        std::lock_guard lock(q.mu);
        if (takeFrom(q.posted, out, filter, minMsg, maxMsg, remove)) return true;
        if (takeFrom(q.input, out, filter, minMsg, maxMsg, remove)) return true;
        if (q.quitPosted) {
            *out = makeMessage(nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0);
            if (remove) q.quitPosted = false;
            return true;
        }
    }
    if (takePaintMessage(q.threadId, out, filter, minMsg, maxMsg)) return true;
    return takeTimerMessage(q.threadId, out, filter, minMsg, maxMsg, remove);
}

BOOL postThreadMessage(DWORD idThread, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto queue = queueOfThread(idThread);
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return postToQueue(*queue, makeMessage(nullptr, msg, wParam, lParam));
}

BOOL postMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (hWnd == nullptr)
        return postToQueue(currentQueue(), makeMessage(nullptr, msg, wParam, lParam));
    auto queue = queueOfWindow(hWnd);
    if (!queue) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return postToQueue(*queue, makeMessage(hWnd, msg, wParam, lParam));
}

bool validFilter(HWND filter) {
    if (filter == nullptr || filter == kThreadMessagesOnly || isOwnWindow(filter)) return true;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

BOOL peekMessage(LPMSG lpMsg, HWND hWnd, UINT minMsg, UINT maxMsg, UINT removeMsg) {
    MessageQueue& q = currentQueue();
    if (lpMsg == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (!validFilter(hWnd)) return FALSE;
    return lookAtQueue(q, lpMsg, hWnd, minMsg, maxMsg, (removeMsg & PM_REMOVE) != 0) ? TRUE : FALSE;
}

BOOL getMessage(LPMSG lpMsg, HWND hWnd, UINT minMsg, UINT maxMsg) {
    MessageQueue& q = currentQueue();
    if (lpMsg == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return -1;
    }
    if (!validFilter(hWnd)) return -1;
    for (;;) {
        if (lookAtQueue(q, lpMsg, hWnd, minMsg, maxMsg, true)) {
            return lpMsg->message == WM_QUIT ? FALSE : TRUE;
        }
        q.waitForWake(msUntilNextTimer(q.threadId));
    }
}

}  // namespace
}  // namespace standin::win32::detail

using namespace standin::win32::detail;

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return postThreadMessage(idThread, Msg, wParam, lParam);
}
BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return postThreadMessage(idThread, Msg, wParam, lParam);
}
BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return postMessage(hWnd, Msg, wParam, lParam);
}
BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return postMessage(hWnd, Msg, wParam, lParam);
}
BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    return getMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax);
}
BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    return getMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax);
}
BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
    return peekMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, wRemoveMsg);
}
BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
    return peekMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, wRemoveMsg);
}

VOID WINAPI PostQuitMessage(int nExitCode) {
    MessageQueue& q = currentQueue();
    {
        std::lock_guard lock(q.mu);
        q.quitPosted = true;
        q.quitCode = nExitCode;
    }
    q.wake();
}
