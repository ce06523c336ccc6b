// Runs the drawer window with its real application object and fatal-error
// path against the drawer library in the folder given as argument, plays a
// user who clicks "Open Cash Drawer" once the drawer is connected, and lets
// the program end however it ends. Before the click it writes "click" to the
// library's call log, so a test sees whether any call came after it.

#include "app/application.h"
#include "app/mainform.h"
#include "drawer/vendordrawerlibrary.h"

#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    Application app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: fatalprobe LIBRARY-FOLDER\n");
        return 2;
    }
    VendorDrawerLibrary library({argv[1]});
    MainForm form(library, [&app] { app.endProgram(); });
    form.show();

    auto *button = form.findChild<QPushButton *>(QStringLiteral("Open_Button"));
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (!button->isEnabled())
            return;
        watcher.stop();
        if (const char *path = std::getenv("KESTRIN_TESTLIB_LOG")) {
            if (std::FILE *log = std::fopen(path, "a")) {
                std::fputs("click\n", log);
                std::fclose(log);
            }
        }
        QTest::mouseClick(button, Qt::LeftButton);
        // Still here: the click did not end the program. Keep polling a
        // little, then report a normal end.
        QTimer::singleShot(500, &app, [&app] { app.endProgram(3); });
    });
    watcher.start(20);
    // Nothing must keep the test waiting: end after five seconds regardless.
    QTimer::singleShot(5000, &app, [&app] { app.endProgram(4); });
    return app.exec();
}
