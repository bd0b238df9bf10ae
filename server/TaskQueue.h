// The server's queue of tasks for finished machines, kept in "<dir>/queue.txt": one task a line,
// "n=50 to 60, k=20e12 to 30e12" (the form of the desktop program's follow-on tasks). A task
// handed to a machine stays in the file until that machine runs it, and goes back to the front
// when the machine leaves first; the file is rewritten atomically on every change.
#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <vector>

#include "settings/FollowingTasks.h"

namespace vontal::server {

class TaskQueue {
public:
    // More tasks than this are refused: the file and the dashboard stay a readable size.
    static constexpr int kMaxTasks = 1000;
    // Longest text of one task field.
    static constexpr int kMaxFieldLength = 40;

    explicit TaskQueue(QString path);

    // Reads the file (a missing file is an empty queue). False with `error` set when a line is
    // not a task: the file is then left as it is rather than rewritten without that line.
    bool Load(QString* error);

    // Whether the four texts make a task the desktop program can start (the program's own check).
    static bool Valid(const TaskTexts& task);

    // The tasks waiting, first to be handed out first.
    const std::vector<TaskTexts>& Waiting() const { return waiting_; }
    // Tasks handed out and not yet running, with the machine each went to.
    const std::vector<std::pair<QString, TaskTexts>>& HandedOut() const { return handedOut_; }

    // Appends a task; false when it is not valid, the queue is full, or the file cannot be written.
    bool Append(const TaskTexts& task);
    // Removes the waiting task at `index`; false when there is none.
    bool Remove(int index);

    // Hands the first waiting task to `machine`; it stays in the file until Confirm.
    std::optional<TaskTexts> HandOut(const QString& machine);
    // The machine runs its task: out of the file.
    void Confirm(const QString& machine);
    // The machine left without running it: back to the front of the queue.
    void PutBack(const QString& machine);

    // Whether the last rewrite of the file succeeded.
    bool saved() const { return saved_; }
    QString path() const { return path_; }

private:
    bool Save();

    QString path_;
    std::vector<TaskTexts> waiting_;
    std::vector<std::pair<QString, TaskTexts>> handedOut_;
    bool saved_ = true;
};

}  // namespace vontal::server
