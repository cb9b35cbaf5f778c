// The test program's side of the modules' event reports.

#include <mutex>

#include "test_support.h"

namespace {
std::mutex gEventsMutex;
std::vector<std::string> gEvents;
}  // namespace

extern "C" __attribute__((visibility("default"))) void vqTestRecord(const char* event) {
    std::lock_guard lock(gEventsMutex);
    gEvents.emplace_back(event);
}

namespace win32test {

std::vector<std::string> takeRecordedEvents() {
    std::lock_guard lock(gEventsMutex);
    std::vector<std::string> out;
    out.swap(gEvents);
    return out;
}

}  // namespace win32test
