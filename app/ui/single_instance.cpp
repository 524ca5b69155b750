#include "app/ui/single_instance.h"

#include <unistd.h>

#include <QLocalSocket>

#include "platform/user_dirs.h"

namespace vsc {
namespace {

constexpr int kHandOverTimeoutMs = 2000;
constexpr char kReopen[] = "reopen\n";

}  // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {
    // In the user's runtime folder when there is one (private to the user);
    // else Qt's temporary folder with the user's id in the name.
    const std::string runtime = runtimeDirectory();
    name_ = runtime.empty() ? QStringLiteral("vendaroscope-virtualcam-%1").arg(getuid())
                            : QString::fromStdString(runtime) +
                                  QStringLiteral("/vendaroscope-virtualcam.socket");
}

bool SingleInstance::handOverToRunning() {
    {
        QLocalSocket socket;
        socket.connectToServer(name_);
        if (socket.waitForConnected(kHandOverTimeoutMs)) {
            socket.write(kReopen);
            socket.waitForBytesWritten(kHandOverTimeoutMs);
            // Wait for the running instance to take it before going.
            socket.waitForReadyRead(kHandOverTimeoutMs);
            return true;
        }
    }
    // Nobody answers: a socket left by an instance that crashed is stale.
    QLocalServer::removeServer(name_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(name_)) return false;
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_.nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                // Only the one request exists; read a bounded amount of it.
                const QByteArray request = peer->read(64);
                if (!request.startsWith("reopen")) return;
                peer->write("ok\n");
                peer->flush();
                if (onReopen) onReopen();
            });
        }
    });
    return false;
}

}  // namespace vsc
