// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the window's thread.
// The handler only writes to a pipe; all Qt work happens in the notifier.
#pragma once
#include <QObject>

class QSocketNotifier;

class TSignalWatch : public QObject {
    Q_OBJECT
public:
    explicit TSignalWatch(QObject* parent = nullptr);
    ~TSignalWatch() override;
    bool ok() const { return FNotifier != nullptr; }
    // The last signal received, so one that came before anyone listened
    // (while the window was still starting) is not lost.
    int received() const { return FReceived; }

signals:
    void terminationRequested(int signal_number);

private:
    void drain();
    QSocketNotifier* FNotifier = nullptr;
    int FReceived = 0;
};
