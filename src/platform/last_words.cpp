#include <mutex>

#include "platform/file_sink.h"

namespace trunvex {
namespace {

struct LastWords {
    std::mutex lock;
    void (*call)(void*) noexcept = nullptr;
    void* context = nullptr;
    bool said = false;
};

LastWords& lastWords() noexcept {
    static LastWords words;
    return words;
}

}  // namespace

void setLastWordsOnInterruption(void (*last)(void*) noexcept, void* context) noexcept {
    LastWords& words = lastWords();
    const std::lock_guard<std::mutex> guard(words.lock);
    words.call = last;
    words.context = context;
}

// The lock is kept for good: the process ends next, and whoever set the words must not tear
// down what they use meanwhile.
void sayLastWordsOnInterruption() noexcept {
    LastWords& words = lastWords();
    words.lock.lock();
    if (words.call != nullptr && !words.said) {
        words.said = true;
        words.call(words.context);
    }
}

}  // namespace trunvex
