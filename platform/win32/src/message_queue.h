#pragma once
// The per-thread message queue, shared by the message calls and the window manager.

#include <deque>
#include <memory>
#include <mutex>

#include "win32/windows.h"

namespace standin::win32::detail {

// Posted messages a queue holds at most, as on the platform.
inline constexpr std::size_t kPostedMessageLimit = 10000;

class MessageQueue {
  public:
    explicit MessageQueue(DWORD threadId);
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    const DWORD threadId;

    // Makes a waiting GetMessage of the owner look again (callable from any thread).
    void wake() const;
    // Waits until woken or until the time-out (milliseconds, -1 for ever) has passed.
    void waitForWake(int timeoutMs) const;

    std::mutex mu;            // the fields below
    std::deque<MSG> posted;   // posted and thread messages, in order of posting
    std::deque<MSG> input;    // mouse and keyboard messages
    bool quitPosted = false;  // PostQuitMessage was called
    int quitCode = 0;

  private:
    int wakeFd_ = -1;  // eventfd: readable after wake()
};

// The calling thread's queue, made at the first call.
MessageQueue& currentQueue();
// The queue of a thread of this process, or null when the thread has none (or has ended).
std::shared_ptr<MessageQueue> queueOfThread(DWORD threadId);

// Puts a message into a queue; FALSE with ERROR_NOT_ENOUGH_QUOTA when it is full.
BOOL postToQueue(MessageQueue& queue, const MSG& msg);

}  // namespace standin::win32::detail
