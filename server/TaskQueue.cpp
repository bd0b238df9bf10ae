// The queue file.
#include "server/TaskQueue.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>

#include "session/TaskCheck.h"

namespace vontal::server {

TaskQueue::TaskQueue(QString path) : path_(std::move(path)) {}

bool TaskQueue::Valid(const TaskTexts& task) {
    for (const std::string* field : {&task.nFirst, &task.nLast, &task.kLow, &task.kHigh}) {
        if (field->empty() || field->size() > static_cast<size_t>(kMaxFieldLength)) return false;
        // The texts travel in "[SetParameters]", where "," and "=" separate the values.
        if (field->find_first_of(",=\r\n") != std::string::npos) return false;
    }
    return CheckTask(task).passes();
}

bool TaskQueue::Load(QString* error) {
    waiting_.clear();
    handedOut_.clear();
    QFile file(path_);
    if (!file.exists()) return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = path_ + ": " + file.errorString();
        return false;
    }
    if (file.size() > 1024 * 1024) {
        *error = path_ + ": larger than 1 MiB, not a queue of tasks";
        return false;
    }
    int number = 0;
    for (QByteArray line : file.readAll().split('\n')) {
        ++number;
        if (line.endsWith('\r')) line.chop(1);
        if (line.trimmed().isEmpty()) continue;
        const TaskTexts task = ParseFollowingTaskLine(line.toStdString());
        if (!Valid(task)) {
            *error = QString("%1, line %2: not a task of the form \"n=50 to 60, k=20e12 to 30e12\": %3")
                         .arg(path_)
                         .arg(number)
                         .arg(QString::fromLatin1(line.left(200)));
            return false;
        }
        if (static_cast<int>(waiting_.size()) >= kMaxTasks) {
            *error = QString("%1: more than %2 tasks").arg(path_).arg(kMaxTasks);
            return false;
        }
        waiting_.push_back(task);
    }
    return true;
}

bool TaskQueue::Append(const TaskTexts& task) {
    if (!Valid(task) || static_cast<int>(waiting_.size() + handedOut_.size()) >= kMaxTasks) return false;
    waiting_.push_back(task);
    if (Save()) return true;
    waiting_.pop_back();
    return false;
}

bool TaskQueue::Remove(int index) {
    if (index < 0 || index >= static_cast<int>(waiting_.size())) return false;
    waiting_.erase(waiting_.begin() + index);
    Save();
    return true;
}

std::optional<TaskTexts> TaskQueue::HandOut(const QString& machine) {
    if (waiting_.empty()) return std::nullopt;
    const TaskTexts task = waiting_.front();
    waiting_.erase(waiting_.begin());
    handedOut_.emplace_back(machine, task);
    // Nothing changes in the file: the task is still to be searched.
    return task;
}

void TaskQueue::Confirm(const QString& machine) {
    const auto it = std::find_if(handedOut_.begin(), handedOut_.end(), [&](const auto& h) { return h.first == machine; });
    if (it == handedOut_.end()) return;
    handedOut_.erase(it);
    Save();
}

void TaskQueue::PutBack(const QString& machine) {
    const auto it = std::find_if(handedOut_.begin(), handedOut_.end(), [&](const auto& h) { return h.first == machine; });
    if (it == handedOut_.end()) return;
    waiting_.insert(waiting_.begin(), it->second);
    handedOut_.erase(it);
    Save();
}

bool TaskQueue::Save() {
    // The tasks handed out first: they were the front of the queue, and a server restarted now
    // hands them out again first.
    QByteArray text;
    for (const auto& [machine, task] : handedOut_) text += FormatFollowingTaskLine(task) + "\n";
    for (const TaskTexts& task : waiting_) text += FormatFollowingTaskLine(task) + "\n";
    // A temporary file beside it, renamed over it: a crash leaves the old queue or the new one.
    QSaveFile file(path_);
    saved_ = file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
    return saved_;
}

}  // namespace vontal::server
