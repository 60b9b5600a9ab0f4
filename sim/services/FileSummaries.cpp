#include "services/FileSummaries.h"

#include <cerrno>
#include <utility>

namespace gatewaysim {

FileSummaries::FileSummaries(Post post, std::function<void()> computing)
    : post_(std::move(post)), computing_(std::move(computing)), thread_([this] { Run(); }) {}

FileSummaries::~FileSummaries() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_.store(true);
    }
    wake_.notify_all();
    thread_.join();
}

bool FileSummaries::Lookup(const std::string& path, const FileVersion& version, FileSummary* summary) {
    const auto it = known_.find(path);
    if (it == known_.end() || !(it->second.version == version)) return false;
    *summary = it->second.summary;
    return true;
}

void FileSummaries::Request(const std::string& path, Done done) {
    FileVersion version;
    if (!CurrentVersion(path, &version)) {
        // Missing or not a regular file: opening tells why, at no cost.
        done(SummariseFile(path));
        return;
    }
    FileSummary summary;
    bool known = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        known = Lookup(path, version, &summary);
        if (!known && version.size > kInlineBytes) {
            pending_.push_back(Pending{path, std::move(done)});
            wake_.notify_one();
            return;
        }
    }
    if (!known) {
        // Small: cheaper than a hand-over, and never behind a large file.
        FileVersion read;
        summary = SummariseFile(path, &read);
        std::lock_guard<std::mutex> guard(lock_);
        if (summary.result == 0 && !(read == FileVersion{})) known_[path] = Known{read, summary};
    }
    done(summary);
}

void FileSummaries::Run() {
    for (;;) {
        Pending next;
        {
            std::unique_lock<std::mutex> guard(lock_);
            wake_.wait(guard, [this] { return stopping_.load() || !pending_.empty(); });
            if (stopping_.load()) return;
            next = std::move(pending_.front());
            pending_.pop_front();
        }
        // Asked for again while it was being computed: known by now.
        FileVersion current;
        FileSummary summary;
        bool known = false;
        if (CurrentVersion(next.path, &current)) {
            std::lock_guard<std::mutex> guard(lock_);
            known = Lookup(next.path, current, &summary);
        }
        if (!known) {
            if (computing_) computing_();
            FileVersion version;
            summary = SummariseFile(next.path, &version, &stopping_);
            if (summary.result == -ECANCELED) return;
            std::lock_guard<std::mutex> guard(lock_);
            if (summary.result == 0 && !(version == FileVersion{})) known_[next.path] = Known{version, summary};
        }
        post_([done = std::move(next.done), summary] { done(summary); });
    }
}

}  // namespace gatewaysim
