#pragma once

// Text written by another thread (a program's output, a server's log), kept
// as whole lines that a test can wait for with a deadline.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace dorvi::testing {

class LineRecord {
public:
    void append(std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex_);
        bool added = false;
        for (char c : text) {
            if (c == '\n') {
                lines_.push_back(partial_);
                partial_.clear();
                added = true;
            } else {
                partial_.push_back(c);
            }
        }
        if (added) changed_.notify_all();
    }

    // Adds one whole entry, line breaks and all.
    void add(std::string line) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(std::move(line));
        }
        changed_.notify_all();
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

    // No more text comes; an unfinished last line still counts.
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!partial_.empty()) lines_.push_back(partial_);
        partial_.clear();
        ended_ = true;
        changed_.notify_all();
    }

    // Index of the first line at or after `from` that satisfies `match`,
    // waiting up to `timeout` for it to be written.
    std::optional<std::size_t> waitFor(const std::function<bool(const std::string&)>& match,
                                       std::chrono::milliseconds timeout, std::size_t from = 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            for (std::size_t i = from; i < lines_.size(); ++i) {
                if (match(lines_[i])) return i;
            }
            from = std::max(from, lines_.size());
            if (ended_) return std::nullopt;
            if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
                for (std::size_t i = from; i < lines_.size(); ++i) {
                    if (match(lines_[i])) return i;
                }
                return std::nullopt;
            }
        }
    }

    std::optional<std::size_t> waitFor(const std::string& exact, std::chrono::milliseconds timeout,
                                       std::size_t from = 0) {
        return waitFor([&](const std::string& line) { return line == exact; }, timeout, from);
    }

    // Waits until `holds` is true of all lines so far.
    bool waitUntil(const std::function<bool(const std::vector<std::string>&)>& holds,
                   std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return holds(lines_); });
    }

    bool waitFinished(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [this] { return ended_; });
    }

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

    // Everything written so far, for failure messages.
    std::string transcript() const {
        std::string all;
        for (const std::string& line : lines()) all += line + "\n";
        return all;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::string partial_;
    bool ended_ = false;
};

// A log stream's buffer that keeps what is written as a LineRecord.
class LineLog : public std::streambuf, public LineRecord {
public:
    int count(const std::string& line) const {
        int n = 0;
        for (const auto& l : lines()) n += l == line ? 1 : 0;
        return n;
    }

    using LineRecord::waitFor;

    // Waits until `line` has been written at least n times.
    bool waitFor(const std::string& line, int n, std::chrono::milliseconds timeout) {
        return waitUntil(
            [&](const std::vector<std::string>& all) {
                int seen = 0;
                for (const auto& l : all) seen += l == line ? 1 : 0;
                return seen >= n;
            },
            timeout);
    }

    // The lines indented, for failure messages.
    std::string dump() const {
        std::string all;
        for (const auto& l : lines()) all += "  " + l + "\n";
        return all;
    }

    // The threads that flushed this log, one entry a flush.
    std::vector<std::thread::id> flushers() const {
        std::lock_guard<std::mutex> lock(flushMutex_);
        return flushers_;
    }

protected:
    int sync() override {
        std::lock_guard<std::mutex> lock(flushMutex_);
        flushers_.push_back(std::this_thread::get_id());
        return 0;
    }

    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) {
            char ch = traits_type::to_char_type(c);
            append(std::string_view(&ch, 1));
        }
        return traits_type::not_eof(c);
    }

    std::streamsize xsputn(const char* s, std::streamsize n) override {
        append(std::string_view(s, static_cast<std::size_t>(n)));
        return n;
    }

private:
    mutable std::mutex flushMutex_;
    std::vector<std::thread::id> flushers_;
};

}  // namespace dorvi::testing
