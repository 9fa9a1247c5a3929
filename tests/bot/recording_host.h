#pragma once
// A host for the bot core's tests: records every call as one line of text, in
// order, and lets a test wait for a line with a deadline.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bot/session_host.h"
#include "support/line_record.h"

namespace dorvi::client::testing {

class RecordingHost : public BlockingHost {
public:
    // Runs after each event is recorded, on the calling thread (for looking at
    // the game state at the moment of a hook).
    std::function<void(const std::string&)> onEvent;
    // When set, delays and results are recorded with whether another thread
    // could take the host mutex at that moment (" free" or " held").
    bool probeMutex = false;
    const GameState* state = nullptr;

    void logText(const std::string& text) override { record("log:" + text); }
    void setSessionActive(bool active) override { record(active ? "active" : "inactive"); }
    void onBidTurn() override { record("bidTurn"); }
    void onTrumpTurn() override { record("trumpTurn"); }
    void onPlayTurn() override { record("playTurn"); }
    void onCardPlayed(int relativeSeat, int card) override {
        record("card:" + std::to_string(relativeSeat) + "," + std::to_string(card));
    }
    void onTrumpSet(int suit) override {
        std::string line = "trumpSet:" + std::to_string(suit);
        if (state) {
            line += " bids";
            for (int bid : state->bids) line += " " + std::to_string(bid);
        }
        record(line);
    }
    void onTrickComplete(const CardCode trick[4], const GameState&) override {
        record("trick:" + std::to_string(trick[0]) + "," + std::to_string(trick[1]) + "," +
               std::to_string(trick[2]) + "," + std::to_string(trick[3]));
    }
    void onDealEnd(int cardPoints, int own, int other) override {
        record("dealEnd:" + std::to_string(cardPoints) + "," + std::to_string(own) + "," + std::to_string(other));
    }
    std::mutex& hostMutex() override { return mutex; }
    void showResult(const std::string& text) override { record("show:" + text + mutexNote()); }
    void delayMs(int ms) override { record("delay:" + std::to_string(ms) + mutexNote()); }

    std::vector<std::string> events() { return recorded.lines(); }

    void clear() { recorded.clear(); }

    // True once `event` has been recorded (at any time), false after the deadline.
    bool waitFor(const std::string& event, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        return recorded.waitFor(event, deadline).has_value();
    }

    std::string joined() {
        std::string all;
        for (const auto& line : events()) all += "  [" + line + "]\n";
        return all;
    }

    // Adds a line of the test's own (a stream's read, say) to the record.
    void note(const std::string& line) { record(line); }

    // Whether another thread can take the host mutex right now.
    bool mutexFree() {
        bool taken = false;
        std::thread probe([&] {
            if (mutex.try_lock()) {
                taken = true;
                mutex.unlock();
            }
        });
        probe.join();
        return taken;
    }

    std::mutex mutex;

private:
    void record(const std::string& line) {
        recorded.add(line);
        if (onEvent) onEvent(line);
    }

    std::string mutexNote() {
        if (!probeMutex) return "";
        return mutexFree() ? " free" : " held";
    }

    dorvi::testing::LineRecord recorded;
};

}  // namespace dorvi::client::testing
