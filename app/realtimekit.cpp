#include "app/realtimekit.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariant>

namespace {
// The first call may start the service; a service that takes longer is none.
constexpr int AnswerMs = 1000;
}

bool realtimekit_raise(long tid, int nice, std::string& why)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        why = "RealtimeKit: systemova sbernice D-Bus neni k dispozici";
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.RealtimeKit1"), QStringLiteral("/org/freedesktop/RealtimeKit1"),
        QStringLiteral("org.freedesktop.RealtimeKit1"), QStringLiteral("MakeThreadHighPriority"));
    call << QVariant::fromValue(quint64(tid)) << QVariant::fromValue(qint32(nice));
    const QDBusMessage reply = bus.call(call, QDBus::Block, AnswerMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    why = "RealtimeKit: " + (reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage()).toStdString();
    return false;
}
