#pragma once

// Runs a program for a test: its standard input is a pipe the test writes to,
// its standard output is read line by line on a thread of its own, so a test
// can wait for a line with a deadline. The destructor kills the program if it
// still runs, so a failing test leaves nothing behind.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/line_record.h"

extern char** environ;

namespace dorvi::testing {

// How the program's end of its output pipe is left: some parents leave it
// non-blocking, so that a write to a full pipe fails instead of waiting.
enum class OutputPipe { blocking, nonBlocking };

class Process {
public:
    Process(const std::string& program, const std::vector<std::string>& args,
            OutputPipe outputPipe = OutputPipe::blocking) {
        // A write to a program that has ended must fail, not end the test binary.
        std::signal(SIGPIPE, SIG_IGN);
        int in[2];
        int out[2];
        if (pipe2(stopReader_, O_CLOEXEC) != 0) return;
        if (pipe2(in, O_CLOEXEC) != 0) return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        if (outputPipe == OutputPipe::nonBlocking) ::fcntl(out[1], F_SETFL, O_NONBLOCK);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        // Only the standard streams: a descriptor the test runner left open
        // would change what a descriptor limit leaves the program.
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        // The program gets SIGPIPE as a shell would start it, not ignored
        // as this test binary has it.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        std::vector<std::string> argStrings{program};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : argStrings) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        int rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(in[0]);
        ::close(out[1]);
        if (rc != 0) {
            ::close(in[1]);
            ::close(out[0]);
            return;
        }
        pid_ = pid;
        input_ = in[1];
        output_ = out[0];
        reader_ = std::thread([this] { readOutput(); });
    }

    ~Process() {
        kill();
        if (reader_.joinable()) reader_.join();
        closeInput();
        if (output_ >= 0) ::close(output_);
        for (int fd : stopReader_) {
            if (fd >= 0) ::close(fd);
        }
    }

    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return pid_ > 0; }
    // The running program's process id, -1 once it has ended or been killed.
    pid_t pid() const { return pid_; }

    bool write(std::string_view text) {
        std::size_t done = 0;
        while (input_ >= 0 && done < text.size()) {
            ssize_t n = ::write(input_, text.data() + done, text.size() - done);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return done == text.size();
    }

    void closeInput() {
        if (input_ >= 0) {
            ::close(input_);
            input_ = -1;
        }
    }

    // Closes the read end of the program's standard output, as a log reader
    // that goes away would: the program's next write to it fails. The lines
    // read until then stay.
    void stopReading() {
        if (output_ < 0) return;
        stopReader();
        outputLines_.finish();
        ::close(output_);
        output_ = -1;
    }

    // Stops reading the program's output and fills the pipe to the last byte,
    // as a reader that falls behind would: on a non-blocking pipe the
    // program's writes then fail. resumeReading() reads on, past the filler,
    // and must come before waitExit(). Meant for a moment when the program
    // writes nothing.
    bool fillOutput() {
        if (!stopReader()) return false;
        char buffer[4096];
        pollfd ready{output_, POLLIN, 0};
        for (ssize_t n = 1; n > 0 && ::poll(&ready, 1, 0) > 0;) {
            n = ::read(output_, buffer, sizeof buffer);
            if (n > 0) outputLines_.append(std::string_view(buffer, static_cast<std::size_t>(n)));
        }
        const int writer =
            ::open(("/proc/self/fd/" + std::to_string(output_)).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer < 0) return false;
        // Whole pages first, then single bytes: a pipe takes a small write
        // into the room its last page has left.
        const std::string filler(sizeof buffer, 'x');
        for (std::size_t size : {filler.size(), std::size_t{1}}) {
            for (ssize_t n = 1; n > 0;) {
                n = ::write(writer, filler.data(), size);
                if (n > 0) filler_ += static_cast<std::size_t>(n);
            }
        }
        const bool full = errno == EAGAIN;
        ::close(writer);
        return full;
    }

    bool resumeReading() {
        if (reader_.joinable() || output_ < 0) return false;
        // The filler is read here, so the pipe has room once this returns.
        char buffer[4096];
        while (filler_ > 0) {
            ssize_t n = ::read(output_, buffer, std::min(filler_, sizeof buffer));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            filler_ -= static_cast<std::size_t>(n);
        }
        if (pipe2(stopReader_, O_CLOEXEC) != 0) return false;
        reader_ = std::thread([this] { readOutput(); });
        return true;
    }

    // Index of the first line at or after `from` that satisfies `match`,
    // waiting up to `timeout` for it to be written.
    std::optional<std::size_t> waitForLine(const std::function<bool(const std::string&)>& match,
                                           std::chrono::milliseconds timeout, std::size_t from = 0) {
        return outputLines_.waitFor(match, timeout, from);
    }

    std::optional<std::size_t> waitForLine(const std::string& exact, std::chrono::milliseconds timeout,
                                           std::size_t from = 0) {
        return outputLines_.waitFor(exact, timeout, from);
    }

    std::vector<std::string> lines() const { return outputLines_.lines(); }

    // The running program's peak resident memory so far in KiB, -1 when unknown.
    long peakResidentKilobytes() const {
        if (pid_ <= 0) return -1;
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
        }
        return -1;
    }

    // Everything written so far, for failure messages.
    std::string transcript() const { return outputLines_.transcript(); }

    // The exit status once the program has ended on its own within the time.
    std::optional<int> waitExit(std::chrono::milliseconds timeout) {
        if (status_) return status_;
        if (pid_ <= 0) return std::nullopt;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        // A program that ends closes its output first.
        if (!outputLines_.waitFinished(deadline)) return std::nullopt;
        for (;;) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_;
            }
            if (r < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::yield();
        }
    }

    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    // Ends the reader thread; the output stays open.
    bool stopReader() {
        if (!reader_.joinable()) return false;
        // Closing the wake pipe's write end wakes the reader's poll.
        ::close(stopReader_[1]);
        reader_.join();
        ::close(stopReader_[0]);
        stopReader_[0] = stopReader_[1] = -1;
        return true;
    }

    void readOutput() {
        char buffer[4096];
        for (;;) {
            pollfd waits[2] = {{output_, POLLIN, 0}, {stopReader_[0], POLLIN, 0}};
            if (::poll(waits, 2, -1) < 0 && errno == EINTR) continue;
            if (waits[1].revents != 0) return;
            ssize_t n = ::read(output_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                outputLines_.finish();
                return;
            }
            outputLines_.append(std::string_view(buffer, static_cast<std::size_t>(n)));
        }
    }

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int stopReader_[2] = {-1, -1};
    std::size_t filler_ = 0;  // bytes of fillOutput() that resumeReading() reads past
    std::optional<int> status_;
    LineRecord outputLines_;
    std::thread reader_;
};

}  // namespace dorvi::testing
