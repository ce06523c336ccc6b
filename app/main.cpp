#include "application.h"
#include "drawer/vendordrawerlibrary.h"
#include "formunits.h"
#include "mainform.h"

#include <QFile>
#include <QIcon>

int main(int argc, char *argv[])
{
    Application app(argc, argv);
    Application::setApplicationName(QStringLiteral("kestrin-drawer"));
    Application::setApplicationVersion(QStringLiteral(KESTRIN_VERSION));
    // Ties the windows to the desktop entry, and so to its icon.
    Application::setDesktopFileName(QStringLiteral("kestrin-drawer"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/kestrin-drawer-16.png"));
    icon.addFile(QStringLiteral(":/icons/kestrin-drawer-32.png"));
    Application::setWindowIcon(icon);

    // The standard dialog font in the face of the window's own captions: one
    // face to load instead of two, and a consistent look.
    QFont standard = Application::font();
    standard.setFamily(FormUnits::formFontFamily());
    Application::setFont(standard);

    // The drawer library is looked for beside the program, then in the
    // private folder of an installed program (bin/../lib/kestrin-drawer);
    // nowhere else, never in the working directory.
    VendorDrawerLibrary library(VendorDrawerLibrary::programSearchDirs(
        QFile::encodeName(Application::applicationDirPath()).toStdString()));
    MainForm form(library, [&app] { app.endProgram(); });
    form.show();
    return app.exec();
}
