// The binding to the drawer library file, against real shared libraries built
// for the tests: where it looks, when it loads, how it passes values and how
// it reports a missing file or function.

#include "app/mainform.h"
#include "drawer/vendordrawerlibrary.h"

#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <dlfcn.h>

namespace {
const QString FullLibraryDir = QStringLiteral(TESTLIB_FULL_DIR);
const QString NoOpenLibraryDir = QStringLiteral(TESTLIB_NOOPEN_DIR);
const QString LibraryFile = QString::fromStdString(VendorDrawerLibrary::defaultFileName());
const QString BinDir = QStringLiteral(KESTRIN_BIN_DIR);

// Copies the test library from libraryDir into folder, making the folder.
bool stage(const QString &libraryDir, const QString &folder)
{
    return QDir().mkpath(folder)
        && QFile::copy(QDir(libraryDir).absoluteFilePath(LibraryFile),
            QDir(folder).absoluteFilePath(LibraryFile));
}

QString realFolderOf(const QString &file)
{
    return QFileInfo(QFileInfo(file).canonicalFilePath()).absolutePath();
}

int callCount(const QString &dir)
{
    // Loading the same file again reaches the same instance and its counter.
    using CallCount = int (*)();
    auto count = reinterpret_cast<CallCount>(
        QLibrary::resolve(QDir(dir).absoluteFilePath(LibraryFile), "TestDrawerLib_CallCount"));
    return count ? count() : -1;
}

std::vector<std::string> paths(const QStringList &folders)
{
    std::vector<std::string> encoded;
    for (const QString &folder : folders)
        encoded.push_back(QFile::encodeName(folder).toStdString());
    return encoded;
}

QString errorOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const DrawerLibraryError &error) {
        return QString::fromUtf8(error.what());
    }
    return QString();
}
} // namespace

class BindingTest : public QObject {
    Q_OBJECT

private slots:
    // First of all, before any copy is loaded: whatever the folders given,
    // the working directory is not searched.
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
        QTemporaryDir work;
        QVERIFY(QDir(work.path()).mkdir(QStringLiteral("planted")));
        for (const QString &folder : {work.path(), work.filePath(QStringLiteral("planted"))})
            QVERIFY(QFile::copy(QDir(FullLibraryDir).absoluteFilePath(LibraryFile),
                QDir(folder).absoluteFilePath(LibraryFile)));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(work.path()));
        VendorDrawerLibrary library(paths(searchDirs));
        const QString error = errorOf([&] { library.GetDrawerHandle(0); });
        QDir::setCurrent(previous);
        QVERIFY2(!error.isEmpty(), "a planted library was loaded");
        QVERIFY(!library.isLoaded());
    }
    // Also before any load: a program folder that is not a real, absolute
    // one gives no folder to search, not one under the working directory.
    void privateFolderIsNeverUnderTheWorkingDirectory_data()
    {
        QTest::addColumn<QString>("programDir");
        QTest::newRow("empty") << QString();
        QTest::newRow("dot") << QStringLiteral(".");
        QTest::newRow("relative bin") << QStringLiteral("bin");
        QTest::newRow("dot dot") << QStringLiteral("../bin");
    }

    void privateFolderIsNeverUnderTheWorkingDirectory()
    {
        QFETCH(QString, programDir);
        // work/run is the working directory; every folder a relative
        // program folder could lead to holds a library.
        QTemporaryDir work;
        const QString run = work.filePath(QStringLiteral("run"));
        for (const QString &folder : {run, run + QStringLiteral("/bin"),
                 run + QStringLiteral("/lib/kestrin-drawer"), work.filePath(QStringLiteral("bin")),
                 work.filePath(QStringLiteral("lib/kestrin-drawer"))})
            QVERIFY(stage(FullLibraryDir, folder));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(run));
        VendorDrawerLibrary library(
            VendorDrawerLibrary::programSearchDirs(QFile::encodeName(programDir).toStdString()));
        const QString error = errorOf([&] { library.GetDrawerHandle(0); });
        QDir::setCurrent(previous);
        QVERIFY2(!error.isEmpty(), "a library under the working directory was loaded");
        QVERIFY(!library.isLoaded());
    }

    // Showing the window loads nothing; its first tick, which would, is
    // held back, as a loaded machine may deliver it before the window shows.
    void windowComesUpWithoutTheLibrary()
    {
        QTemporaryDir empty;
        VendorDrawerLibrary library(paths({empty.path()}));
        MainForm form(library, [] {});
        QTimer *tick = form.findChild<QTimer *>(QStringLiteral("Timer1"));
        QVERIFY(tick);
        tick->stop();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(!library.isLoaded());
    }

    void loadsAtFirstCallFromTheSearchFolder()
    {
        VendorDrawerLibrary library(paths({FullLibraryDir}));
        QVERIFY(!library.isLoaded());
        const int before = callCount(FullLibraryDir);
        QCOMPARE(library.GetDrawerHandle(7), 1007);
        QVERIFY(library.isLoaded());
        QCOMPARE(QFileInfo(QString::fromStdString(library.loadedFrom())).absolutePath(),
            QDir(FullLibraryDir).absolutePath());
        QCOMPARE(callCount(FullLibraryDir), before + 1);
    }

    // An installed program: bin/ for the program, lib/kestrin-drawer/ for
    // its library.
    void privateFolderBesideTheProgramsFolder()
    {
        QTemporaryDir root;
        const QString bin = root.filePath(QStringLiteral("usr/bin"));
        const QString privateDir = root.filePath(QStringLiteral("usr/lib/kestrin-drawer"));
        QVERIFY(QDir().mkpath(bin));
        QVERIFY(stage(FullLibraryDir, privateDir));
        VendorDrawerLibrary library(
            VendorDrawerLibrary::programSearchDirs(QFile::encodeName(bin).toStdString()));
        QCOMPARE(library.GetDrawerHandle(3), 1003);
        QCOMPARE(realFolderOf(QString::fromStdString(library.loadedFrom())),
            QFileInfo(privateDir).canonicalFilePath());
    }

    void programsOwnFolderComesFirst()
    {
        QTemporaryDir root;
        const QString bin = root.filePath(QStringLiteral("bin"));
        QVERIFY(stage(FullLibraryDir, bin));
        QVERIFY(stage(NoOpenLibraryDir, root.filePath(QStringLiteral("lib/kestrin-drawer"))));
        VendorDrawerLibrary library(
            VendorDrawerLibrary::programSearchDirs(QFile::encodeName(bin).toStdString()));
        QCOMPARE(library.GetDrawerHandle(4), 1004);
        QCOMPARE(realFolderOf(QString::fromStdString(library.loadedFrom())),
            QFileInfo(bin).canonicalFilePath());
        QCOMPARE(library.OpenDrawer(5), std::int16_t(6));
    }

    // The program's folder reached through a symbolic link: the private
    // folder is the one beside the real folder, not beside the link.
    void privateFolderIsFoundWhereTheProgramReallyIs()
    {
        QTemporaryDir root;
        const QString realBin = root.filePath(QStringLiteral("real/bin"));
        const QString realPrivate = root.filePath(QStringLiteral("real/lib/kestrin-drawer"));
        QVERIFY(QDir().mkpath(realBin));
        QVERIFY(stage(FullLibraryDir, realPrivate));
        QVERIFY(stage(NoOpenLibraryDir, root.filePath(QStringLiteral("link/lib/kestrin-drawer"))));
        const QString linkedBin = root.filePath(QStringLiteral("link/bin"));
        QVERIFY(QFile::link(realBin, linkedBin));

        VendorDrawerLibrary library(
            VendorDrawerLibrary::programSearchDirs(QFile::encodeName(linkedBin).toStdString()));
        QCOMPARE(library.GetDrawerHandle(4), 1004);
        QCOMPARE(realFolderOf(QString::fromStdString(library.loadedFrom())),
            QFileInfo(realPrivate).canonicalFilePath());
        QCOMPARE(library.OpenDrawer(5), std::int16_t(6));
    }

    // The built program, laid out as installed and started through a link
    // from elsewhere, with its library only in the private folder.
    void installedProgramFindsItsPrivateFolder()
    {
        QTemporaryDir root;
        QTemporaryDir work;
        const QString bin = root.filePath(QStringLiteral("usr/bin"));
        const QString program = bin + QStringLiteral("/kestrin-drawer");
        QVERIFY(QDir().mkpath(bin));
        QVERIFY(QFile::copy(QDir(BinDir).filePath(QStringLiteral("kestrin-drawer")), program));
        QVERIFY(stage(FullLibraryDir, root.filePath(QStringLiteral("usr/lib/kestrin-drawer"))));
        const QString link = work.filePath(QStringLiteral("kestrin-drawer"));
        QVERIFY(QFile::link(program, link));

        const QString log = work.filePath(QStringLiteral("calls.log"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("KESTRIN_TESTLIB_LOG"), log);
        env.remove(QStringLiteral("LD_LIBRARY_PATH"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(work.path());
        process.start(link, {});
        QVERIFY(process.waitForStarted());
        const auto calls = [&log] {
            QFile file(log);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QTRY_VERIFY_WITH_TIMEOUT(
            calls().contains("GetDrawerStatus 1000") || process.state() == QProcess::NotRunning,
            20000);
        QVERIFY2(process.state() == QProcess::Running, process.readAllStandardError().constData());
        ::kill(pid_t(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(20000));
        QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
        QVERIFY(calls().startsWith("GetDrawerHandle 0\n"));
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
        VendorDrawerLibrary library(paths({FullLibraryDir}));
        QCOMPARE(library.GetDrawerStatus(handle), status);
        QCOMPARE(library.OpenDrawer(handle), std::int16_t(std::uint16_t(handle) + 1));
        library.ReleaseDrawerHandle(handle);
        QCOMPARE(library.GetDrawerHandle(255), 1255);
    }

    void missingFunctionIsNoticedOnlyAtItsFirstCall()
    {
        VendorDrawerLibrary library(paths({NoOpenLibraryDir}));
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

    // A file that is there but cannot be loaded is reported in the loader's
    // words, not passed over for a copy further down the search.
    void unloadableLibraryIsReportedNotPassedOver()
    {
        QTemporaryDir root;
        const QString bin = root.filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin));
        QFile damaged(QFileInfo(bin).canonicalFilePath() + '/' + LibraryFile);
        QVERIFY(damaged.open(QIODevice::WriteOnly) && damaged.write("not a library") > 0);
        damaged.close();
        QVERIFY(stage(FullLibraryDir, root.filePath(QStringLiteral("lib/kestrin-drawer"))));
        VendorDrawerLibrary library(
            VendorDrawerLibrary::programSearchDirs(QFile::encodeName(bin).toStdString()));
        const QString error = errorOf([&] { library.GetDrawerHandle(0); });
        QVERIFY(!::dlopen(QFile::encodeName(damaged.fileName()).constData(), RTLD_NOW));
        QVERIFY2(error.contains(QString::fromLocal8Bit(::dlerror())), qPrintable(error));
        QVERIFY(!library.isLoaded());
    }

    void missingLibraryNamesTheFileAndTheLoadersReason()
    {
        QTemporaryDir empty;
        VendorDrawerLibrary library(paths({empty.path()}), "libKestrinPOS_USB_absent.so");
        const QString error = errorOf([&] { library.GetDrawerStatus(1); });
        QVERIFY2(error.contains(QLatin1String("libKestrinPOS_USB_absent.so")), qPrintable(error));
        QVERIFY2(error.contains(QLatin1String("No such file")), qPrintable(error));
        QVERIFY(!library.isLoaded());
    }
};

QTEST_MAIN(BindingTest)
#include "tst_binding.moc"
