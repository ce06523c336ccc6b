#pragma once

#include <QApplication>
#include <QPointer>

#include <functional>

// The application object. It is where an error that no handler catches ends
// up: the message is shown and the program ends, with no further handler of
// any window running. It also turns a termination request (SIGTERM, SIGINT,
// SIGHUP) into closing the windows, so a held drawer handle is given back.
class Application : public QApplication {
    Q_OBJECT

public:
    using FatalErrorHandler = std::function<void(const QString &message)>;

    Application(int &argc, char **argv);
    ~Application() override;

    bool notify(QObject *receiver, QEvent *event) override;

    // Stops the program: from now on no timer, input, close or queued call
    // reaches any object, and the event loop returns with status.
    void endProgram(int status = 0);

    // By default an uncaught error is written to standard error, shown in a
    // message box where there is a screen to show it on, and the process
    // ends with a failure status at once. Tests put a recorder in its place.
    void setFatalErrorHandler(FatalErrorHandler handler);

private:
    void reportFatalError(const QString &message);
    void showFatalErrorAndDie(const QString &message);
    bool isHeldBack(QObject *receiver, const QEvent *event) const;
    void watchTerminationSignals();

    bool m_ending = false;
    bool m_reportingError = false;
    QPointer<QWidget> m_errorBox;
    FatalErrorHandler m_fatalErrorHandler;
};
