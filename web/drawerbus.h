// The web bridge's view of the drawer service on the system bus: the
// drawers as the service's properties say, kept up to date by its signals,
// and Open. The bridge holds no device of its own.
#pragma once

#include "busapi.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QJsonObject>
#include <QObject>

#include <array>
#include <functional>

struct WebDrawer {
    int number = 0;
    bool configured = false;
    bool present = false;
    bool open = false;
    bool hasSensor = false;
    quint64 changedUs = 0; // microseconds since the epoch; 0: never changed

    QJsonObject toJson() const;
};

using WebDrawers = std::array<WebDrawer, drawerdriver::DrawerCount>;

class DrawerBus : public QObject {
    Q_OBJECT

public:
    // The service's answer to Open. Refused: the bus does not let the
    // bridge call it; NoService: it is not running and cannot be started;
    // TimedOut: it did not answer within the bridge's deadline.
    enum class OpenResult {
        Done,
        NotConfigured,
        NotPresent,
        Busy,
        Refused,
        NoService,
        TimedOut,
        Failed
    };
    using OpenDone = std::function<void(OpenResult, const QString &serviceMessage)>;

    explicit DrawerBus(QDBusConnection bus, QObject *parent = nullptr);

    // Reads the drawers, which starts the service if it is not running.
    void start();
    const WebDrawers &drawers() const { return m_drawers; }
    // The drawers have been read from the service (which may have gone
    // since): which ones are configured is known.
    bool known() const { return m_known; }
    // Fires drawer number without waiting: done gets the service's answer,
    // which comes once the kick is handed to the device's monitor, or
    // TimedOut after the deadline. serviceMessage: the service's own words
    // when it refused.
    void open(int number, const QString &reason, OpenDone done);
    // Prints the bytes on the drawer's printer through the service, without
    // waiting: done gets the service's id for the job, or the error, once
    // the printer has taken the last byte.
    using PrintDone = std::function<void(const QDBusError &error, quint64 id)>;
    void print(int number, const QByteArray &bytes, const QString &title, const QString &user,
        PrintDone done);

signals:
    void drawerChanged(int number);
    // Many drawers at once: the service came, went or reloaded.
    void drawersReset();

private slots:
    void onPropertiesChanged(const QDBusMessage &message);
    void onOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    void readAll();
    bool apply(WebDrawer &drawer, const QVariantMap &values);

    QDBusConnection m_bus;
    bool m_known = false;
    WebDrawers m_drawers;
};
