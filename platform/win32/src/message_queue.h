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
    std::deque<std::shared_ptr<struct SentMessage>> sent;  // from other threads, not yet handled

  private:
    int wakeFd_ = -1;  // eventfd: readable after wake()
};

// The calling thread's queue, made at the first call.
MessageQueue& currentQueue();
// The queue of a thread of this process, or null when the thread has none (or has ended).
std::shared_ptr<MessageQueue> queueOfThread(DWORD threadId);

// A message sent from another thread: the sender waits until `done`.
struct SentMessage {
    MSG msg{};
    LRESULT result = 0;
    bool done = false;                          // under the receiving queue's mu
    std::shared_ptr<MessageQueue> senderQueue;  // woken when done
};

// Delivers the messages other threads sent to the calling thread (its own queue).
void deliverSentMessages(MessageQueue& queue);
// Ends the sent messages still waiting in a queue whose thread ended (result 0).
void abandonSentMessages(MessageQueue& queue);

// Generated messages of the window manager for a thread, honouring the filter: WM_PAINT for an
// invalid visible window (never removed: it comes while the window stays invalid), WM_TIMER for
// a due timer (removing restarts its period).
bool takePaintMessage(DWORD threadId, MSG* out, HWND filter, UINT minMsg, UINT maxMsg);
bool takeTimerMessage(DWORD threadId, MSG* out, HWND filter, UINT minMsg, UINT maxMsg, bool remove);
// Milliseconds until the thread's next timer is due (0 when one is due), -1 when it has none.
int msUntilNextTimer(DWORD threadId);
// True when the window exists and belongs to the calling thread (the message filter's check).
bool isOwnWindow(HWND hwnd);
// The queue of the thread that owns a window, or null when there is no such window.
std::shared_ptr<MessageQueue> queueOfWindow(HWND hwnd);
// The window manager forgets the windows and timers of a thread that ended.
void windowThreadEnded(DWORD threadId);

// Puts a message into a queue; FALSE with ERROR_NOT_ENOUGH_QUOTA when it is full.
BOOL postToQueue(MessageQueue& queue, const MSG& msg);

}  // namespace standin::win32::detail
