#include "support/fakes.h"

#include <algorithm>
#include <cmath>

namespace quendra::test {

struct ManualScheduler::Entry : Cancellable {
    std::function<void()> block;
    bool cancelled = false;
    void cancel() override {
        cancelled = true;
        block = nullptr;
    }
};

std::shared_ptr<Cancellable> ManualScheduler::after(double ms, std::function<void()> block) {
    if (!std::isfinite(ms) || ms < 0) ms = 0;
    auto entry = std::make_shared<Entry>();
    entry->block = std::move(block);
    queue_.emplace(std::make_pair(now_ + ms, sequence_++), entry);
    return entry;
}

void ManualScheduler::advance(double ms) {
    const double target = now_ + std::max(ms, 0.0);
    while (!queue_.empty() && queue_.begin()->first.first <= target) {
        auto it = queue_.begin();
        auto entry = it->second;
        now_ = std::max(now_, it->first.first);
        queue_.erase(it);
        if (entry->cancelled) continue;
        auto block = std::move(entry->block);
        entry->cancelled = true;  // ran: a later cancel does nothing
        if (block) block();
    }
    now_ = target;
}

size_t ManualScheduler::pending() const {
    return static_cast<size_t>(std::count_if(queue_.begin(), queue_.end(),
                                             [](const auto& e) { return !e.second->cancelled; }));
}

std::optional<double> ManualScheduler::nextDueMs() const {
    for (const auto& [key, entry] : queue_) {
        if (!entry->cancelled) return key.first;
    }
    return std::nullopt;
}

void ScriptedSocket::send(const std::string& text) {
    if (!open_) {
        ++droppedSends;
        return;
    }
    sent.push_back(text);
}

void ScriptedSocket::close(int code, const std::string& reason) {
    closeCalls.push_back({code, reason});
    open_ = false;
    if (scheduler_) {
        std::weak_ptr<ScriptedSocket> weak = weak_from_this();
        scheduler_->after(0, [weak, code, reason] {
            if (auto self = weak.lock()) self->deliverClose(code, reason);
        });
    }
}

void ScriptedSocket::deliverOpen() {
    if (closeDelivered_ || !closeCalls.empty()) return;
    open_ = true;
    if (onOpen) onOpen();
}

void ScriptedSocket::deliverMessage(const std::string& text) {
    if (closeDelivered_) return;
    if (onMessage) onMessage(text);
}

void ScriptedSocket::deliverClose(int code, const std::string& reason) {
    if (closeDelivered_) return;
    closeDelivered_ = true;
    open_ = false;
    if (onClose) onClose(code, reason);
}

SocketFactory SocketRecorder::factory() {
    return [this](const std::string& url, const std::vector<std::string>& protocols) {
        auto socket = std::make_shared<ScriptedSocket>(url, protocols, scheduler_);
        sockets.push_back(socket);
        return std::shared_ptr<WebSocketLike>(socket);
    };
}

Logger RecordingLogger::logger() {
    std::weak_ptr<std::vector<Line>> weak = lines_;
    Logger logger;
    logger.debug = [weak](const std::string& text) {
        if (auto lines = weak.lock()) lines->push_back({Line::Level::debug, text});
    };
    logger.warn = [weak](const std::string& text) {
        if (auto lines = weak.lock()) lines->push_back({Line::Level::warn, text});
    };
    return logger;
}

std::vector<std::string> RecordingLogger::texts() const {
    std::vector<std::string> out;
    for (const auto& line : *lines_) out.push_back(line.text);
    return out;
}

bool RecordingLogger::contains(const std::string& fragment) const {
    return std::any_of(lines_->begin(), lines_->end(),
                       [&](const Line& l) { return l.text.find(fragment) != std::string::npos; });
}

TokenSource FixedTokenSource::source() const {
    return [result = result, calls = calls](TokenCompletion completion) {
        ++*calls;
        completion(result);
    };
}

}  // namespace quendra::test
