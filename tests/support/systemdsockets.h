// What systemd gives a service, played by the test: a datagram socket for
// NOTIFY_SOCKET, and one at the journal's own path for sd_journal_send's
// entries, on a tmpfs in the test's mount namespace (no journald here).
#pragma once

#include <QByteArrayList>
#include <QDir>
#include <QMap>
#include <QSocketNotifier>

#include <cstring>
#include <memory>

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

class DatagramSocket {
public:
    explicit DatagramSocket(const QByteArray &path)
    {
        sockaddr_un address {AF_UNIX, {}};
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        ::unlink(path.constData());
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            return;
        // Read as they come: a sender blocks once a few wait unread.
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { messages(); });
    }
    ~DatagramSocket() { m_notifier.reset(), ::close(m_fd); }
    bool isValid() const { return m_notifier != nullptr; }

    const QByteArrayList &messages()
    {
        QByteArray buffer(65536, '\0');
        for (ssize_t got; (got = ::recv(m_fd, buffer.data(), buffer.size(), 0)) >= 0;)
            m_messages.append(buffer.left(got));
        return m_messages;
    }

    // The journal entries, as KEY=VALUE fields. A value with a line break,
    // in the protocol's binary form, comes as an empty one.
    QList<QMap<QByteArray, QByteArray>> entries()
    {
        QList<QMap<QByteArray, QByteArray>> entries;
        for (const QByteArray &message : messages()) {
            QMap<QByteArray, QByteArray> fields;
            for (const QByteArray &line : message.split('\n'))
                fields.insert(line.left(line.indexOf('=')),
                    line.contains('=') ? line.mid(line.indexOf('=') + 1) : QByteArray());
            entries.append(fields);
        }
        return entries;
    }

private:
    int m_fd = -1;
    QByteArrayList m_messages;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// A tmpfs over the journal's folder, or over the nearest parent of it that
// exists, with the folder in it; in the test's own mount namespace.
inline bool mountJournalFolder()
{
    for (const char *folder : {"/run/systemd/journal", "/run/systemd", "/run"})
        if (QDir(QLatin1String(folder)).exists())
            return ::mount("tmpfs", folder, "tmpfs", 0, "mode=0755") == 0
                && QDir().mkpath(QStringLiteral("/run/systemd/journal"));
    return false;
}

// JOURNAL_STREAM's value for the file: its device and inode.
inline QString journalStream(const QString &file)
{
    struct stat info { };
    ::stat(QFile::encodeName(file).constData(), &info);
    return QStringLiteral("%1:%2").arg(info.st_dev).arg(info.st_ino);
}
