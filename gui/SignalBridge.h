// Carries SIGTERM, SIGINT and SIGHUP into the Qt event loop, so that the window can save the
// position before the process ends. The handler only writes one byte to a pipe; the window
// thread reads it through a QSocketNotifier and emits terminationRequested.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace vontal {

class SignalBridge : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; only one bridge may exist at a time.
    explicit SignalBridge(QObject* parent = nullptr);
    ~SignalBridge() override;

signals:
    void terminationRequested(int signalNumber);

private:
    void ReadSignal();
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace vontal
