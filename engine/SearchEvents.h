// What the computation thread reports while it runs a task, with the numbers, in the order it
// happens. The front ends decide what to show.
#pragma once

#include <cstdint>
#include <string>

#include "SearchTask.h"

namespace vontal {

enum class SearchEventKind {
    Started,           // task: the task as searched (kLow odd and at least 3, its text "3" when raised)
    ExponentBegun,     // n; k: the first multiplier searched; resumed: continued, no new header
    DivisorFound,      // n, k, m: about to be recorded
    DivisorRecorded,   // n, k, m: in "Result.txt" and the log, and the position past it (movedPast)
    ExponentFinished,  // n, task's k range; checkValue: the one in its end record
    TaskFinished,      // every exponent is done
    Stopped,           // left on a stop request; the position is final
    Warning,           // message: something the user should read; the search goes on
    Failed,            // message: the run ended on an error; wasRunning: Started was reported
};

struct SearchEvent {
    SearchEvent() = default;
    explicit SearchEvent(SearchEventKind what) : kind(what) {}

    SearchEventKind kind = SearchEventKind::Warning;
    uint32_t n = 0;
    int64_t k = 0;
    uint32_t m = 0;
    bool resumed = false;
    bool movedPast = false;
    bool wasRunning = false;
    SearchTask task;         // Started
    std::string checkValue;  // ExponentFinished
    std::string message;     // Warning, Failed
};

// Receives the events of one run. Called on the computation thread: it must queue the event and
// return at once, never wait for its reader.
class ISearchEventSink {
public:
    virtual ~ISearchEventSink() = default;
    virtual void Post(SearchEvent event) = 0;
};

}  // namespace vontal
