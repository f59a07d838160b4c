#include "camera/controllers/StatusNotifier.h"

#include <memory>
#include <mutex>
#include <utility>

namespace {

std::mutex g_notifierLock;
// Shared so that a notifier being replaced may still finish a call in
// progress on another thread.
std::shared_ptr<const StatusNotifier> g_notifier;

}  // namespace

StatusNotifier installStatusNotifier(StatusNotifier notifier) {
    auto next = notifier ? std::make_shared<const StatusNotifier>(std::move(notifier)) : nullptr;
    std::lock_guard<std::mutex> lock(g_notifierLock);
    std::shared_ptr<const StatusNotifier> previous = std::exchange(g_notifier, std::move(next));
    return previous ? *previous : StatusNotifier();
}

void notifyStatus(const std::string& status) {
    std::shared_ptr<const StatusNotifier> notifier;
    {
        std::lock_guard<std::mutex> lock(g_notifierLock);
        notifier = g_notifier;
    }
    if (notifier) (*notifier)(status);
}
