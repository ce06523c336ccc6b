// The binding to the drawer library file, against real shared libraries built
// for the tests: where it looks, when it loads, how it passes values and how
// it reports a missing file or function.

#include "app/mainform.h"
#include "drawer/vendordrawerlibrary.h"
#include "support/systemlibrary.h"

#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString FullLibraryDir = QStringLiteral(TESTLIB_FULL_DIR);
const QString NoOpenLibraryDir = QStringLiteral(TESTLIB_NOOPEN_DIR);
const QString LibraryFile = VendorDrawerLibrary::defaultFileName();

int callCount(const QString &dir)
{
    // Loading the same file again reaches the same instance and its counter.
    using CallCount = int (*)();
    auto count = reinterpret_cast<CallCount>(
        QLibrary::resolve(QDir(dir).absoluteFilePath(LibraryFile), "TestDrawerLib_CallCount"));
    return count ? count() : -1;
}

QString errorOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const DrawerLibraryError &error) {
        return QString::fromStdString(error.what());
    }
    return QString();
}
} // namespace

class BindingTest : public QObject {
    Q_OBJECT

private slots:
    // First of all: once any copy is loaded, the loader answers a bare name
    // with that copy, wherever the working directory is.
    void libraryInTheWorkingDirectoryIsNotLoaded_data()
    {
        QTest::addColumn<QStringList>("searchDirs");
        QTest::newRow("no folders") << QStringList();
        QTest::newRow("dot") << QStringList {"."};
        QTest::newRow("empty") << QStringList {""};
        QTest::newRow("relative") << QStringList {"planted"};
    }

    void libraryInTheWorkingDirectoryIsNotLoaded()
    {
        QFETCH(QStringList, searchDirs);
        if (loaderFindsADrawerLibrary())
            QSKIP("a drawer library is installed on this machine's loader path");
        QTemporaryDir work;
        QVERIFY(QDir(work.path()).mkdir(QStringLiteral("planted")));
        for (const QString &folder : {work.path(), work.filePath(QStringLiteral("planted"))})
            QVERIFY(QFile::copy(QDir(FullLibraryDir).absoluteFilePath(LibraryFile),
                QDir(folder).absoluteFilePath(LibraryFile)));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(work.path()));
        VendorDrawerLibrary library(searchDirs);
        const QString error = errorOf([&] { library.GetDrawerHandle(0); });
        QDir::setCurrent(previous);
        QVERIFY2(!error.isEmpty(), "a planted library was loaded");
        QVERIFY(!library.isLoaded());
    }
    void windowComesUpWithoutTheLibrary()
    {
        QTemporaryDir empty;
        VendorDrawerLibrary library({empty.path()});
        MainForm form(library, [] {});
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(!library.isLoaded());
    }

    void loadsAtFirstCallFromTheSearchFolder()
    {
        VendorDrawerLibrary library({FullLibraryDir});
        QVERIFY(!library.isLoaded());
        const int before = callCount(FullLibraryDir);
        QCOMPARE(library.GetDrawerHandle(7), 1007);
        QVERIFY(library.isLoaded());
        QCOMPARE(
            QFileInfo(library.loadedFrom()).absolutePath(), QDir(FullLibraryDir).absolutePath());
        QCOMPARE(callCount(FullLibraryDir), before + 1);
    }

    void passesWidthsAndSignsByValue_data()
    {
        QTest::addColumn<int>("handle");
        QTest::addColumn<int>("status");
        QTest::newRow("small") << 1001 << 1001;
        QTest::newRow("negative") << -2 << -2;
        QTest::newRow("wraps at 16 bits") << 65538 << 2;
        QTest::newRow("largest") << 2147483647 << -1;
    }

    void passesWidthsAndSignsByValue()
    {
        QFETCH(int, handle);
        QFETCH(int, status);
        VendorDrawerLibrary library({FullLibraryDir});
        QCOMPARE(library.GetDrawerStatus(handle), status);
        QCOMPARE(library.OpenDrawer(handle), std::int16_t(std::uint16_t(handle) + 1));
        library.ReleaseDrawerHandle(handle);
        QCOMPARE(library.GetDrawerHandle(255), 1255);
    }

    void missingFunctionIsNoticedOnlyAtItsFirstCall()
    {
        VendorDrawerLibrary library({NoOpenLibraryDir});
        QCOMPARE(library.GetDrawerHandle(0), 1000);
        QCOMPARE(library.GetDrawerStatus(1000), std::int16_t(1000));
        library.ReleaseDrawerHandle(1000);
        for (int attempt = 0; attempt < 2; ++attempt) {
            const QString error = errorOf([&] { library.OpenDrawer(1000); });
            QVERIFY2(error.contains(QLatin1String("OpenDrawer")), qPrintable(error));
            QVERIFY2(error.contains(LibraryFile), qPrintable(error));
        }
        QCOMPARE(library.GetDrawerHandle(1), 1001);
    }

    void missingLibraryNamesTheFileAndTheLoadersReason()
    {
        QTemporaryDir empty;
        VendorDrawerLibrary library({empty.path()}, QStringLiteral("libKestrinPOS_USB_absent.so"));
        const QString error = errorOf([&] { library.GetDrawerStatus(1); });
        QVERIFY2(error.contains(QLatin1String("libKestrinPOS_USB_absent.so")), qPrintable(error));
        QVERIFY2(error.contains(QLatin1String("No such file")), qPrintable(error));
        QVERIFY(!library.isLoaded());
    }
};

QTEST_MAIN(BindingTest)
#include "tst_binding.moc"
