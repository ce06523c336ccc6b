#include "application.h"

#include <QMessageBox>
#include <QSocketNotifier>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <exception>

#if defined(Q_OS_UNIX)
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}
} // namespace
#endif

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv),
      m_fatalErrorHandler([this](const QString &message) { showFatalErrorAndDie(message); })
{
    watchTerminationSignals();
}

Application::~Application() = default;

void Application::setFatalErrorHandler(FatalErrorHandler handler)
{
    m_fatalErrorHandler = std::move(handler);
}

void Application::endProgram(int status)
{
    m_ending = true;
    exit(status);
}

namespace {

// Events that run a window's handlers: ticks, queued calls, closes and
// anything the user does.
bool runsHandlers(const QEvent *event)
{
    switch (event->type()) {
    case QEvent::Timer:
    case QEvent::MetaCall:
    case QEvent::Close:
    case QEvent::Shortcut:
    case QEvent::ShortcutOverride:
    case QEvent::SockAct:
        return true;
    default:
        return event->isInputEvent();
    }
}

bool isInside(const QObject *object, const QObject *ancestor)
{
    for (; object; object = object->parent()) {
        if (object == ancestor)
            return true;
    }
    return false;
}

} // namespace

bool Application::isHeldBack(QObject *receiver, const QEvent *event) const
{
    if (!m_ending && !m_reportingError)
        return false;
    if (!runsHandlers(event))
        return false;
    // Windows pass their input on to widgets, which are filtered in turn.
    if (qobject_cast<QWindow *>(receiver))
        return false;
    if (m_reportingError && !m_ending && m_errorBox && isInside(receiver, m_errorBox))
        return false;
    return true;
}

bool Application::notify(QObject *receiver, QEvent *event)
{
    if (isHeldBack(receiver, event))
        return false;
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &error) {
        reportFatalError(QString::fromUtf8(error.what()));
    } catch (...) {
        reportFatalError(QStringLiteral("An unknown error occurred."));
    }
    return false;
}

void Application::reportFatalError(const QString &message)
{
    // Written first, so the message survives even if no window can show it.
    std::fprintf(stderr, "kestrin-drawer: %s\n", qUtf8Printable(message));
    std::fflush(stderr);
    m_fatalErrorHandler(message);
}

void Application::showFatalErrorAndDie(const QString &message)
{
    const QString platform = platformName();
    const bool hasScreen
        = platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
    if (hasScreen && !m_reportingError) {
        m_reportingError = true;
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Kestrin Cash Drawer USB Controller"),
            message, QMessageBox::Ok);
        m_errorBox = &box;
        box.exec();
    }
    // Like any untrapped error: no exit handler runs, so nothing further is
    // asked of the drawer library.
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
}

void Application::watchTerminationSignals()
{
#if defined(Q_OS_UNIX)
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) { }
        // Closing the windows runs their close handlers, which give the
        // drawer handle back and end the program.
        closeAllWindows();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signalNumber, &action, nullptr);
#endif
}
