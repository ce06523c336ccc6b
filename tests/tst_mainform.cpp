// The drawer window as it is defined: controls, geometry, fonts, tab order,
// menus, keys, and the state the window is in before it is first shown.

#include "app/mainform.h"
#include "fakedrawerlibrary.h"
#include "formprobe.h"

#include <QButtonGroup>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QMenuBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>

#include <memory>

using FormUnits::twipsRect;

class MainFormTest : public QObject {
    Q_OBJECT

private:
    FakeDrawerLibrary library;
    std::unique_ptr<MainForm> form;

    FormProbe probe() const { return FormProbe {form.get()}; }

private slots:
    void init()
    {
        library = FakeDrawerLibrary();
        form = std::make_unique<MainForm>(library, [] {});
        probe().timer()->stop();
    }

    void cleanup() { form.reset(); }

    void controlsHaveTheirNamesCaptionsAndPlaces_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<qreal>("pointSize");
        QTest::addColumn<bool>("bold");
        QTest::newRow("Status_Button")
            << "Status_Button"
            << "Cash Drawer Status" << twipsRect(240, 3240, 4935, 735) << 19.5 << true;
        QTest::newRow("Open_Button")
            << "Open_Button"
            << "Open Cash Drawer" << twipsRect(240, 2400, 4935, 735) << 19.5 << true;
        QTest::newRow("Status") << "Status"
                                << "USB Device NOT Connected!" << twipsRect(120, 240, 4695, 375)
                                << 13.5 << false;
        QTest::newRow("Frame1") << "Frame1"
                                << "Status of Cash Drawer" << twipsRect(240, 120, 4935, 2055)
                                << 12.0 << false;
        QTest::newRow("Label2") << "Label2"
                                << "Offline" << twipsRect(1200, 1080, 3615, 495) << 24.0 << false;
        QTest::newRow("Label1") << "Label1"
                                << "Cash Drawer" << twipsRect(1200, 600, 3615, 495) << 24.0
                                << false;
    }

    void controlsHaveTheirNamesCaptionsAndPlaces()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QRect, geometry);
        QFETCH(qreal, pointSize);
        QFETCH(bool, bold);
        QWidget *control = probe().find<QWidget>(qPrintable(name));
        QCOMPARE(
            control->property(qobject_cast<QGroupBox *>(control) ? "title" : "text").toString(),
            caption);
        QCOMPARE(control->geometry(), geometry);
        QCOMPARE(control->font().pointSizeF(), pointSize);
        QCOMPARE(control->font().bold(), bold);
        QCOMPARE(control->font().family(), FormUnits::formFontFamily());
        QVERIFY(control->isEnabledTo(form.get()) || name.endsWith(QLatin1String("_Button")));
    }

    void frameAndShapeAsDefined()
    {
        auto *frame2 = probe().find<QGroupBox>("Frame2");
        QCOMPARE(frame2->title(), "Status of System");
        QCOMPARE(frame2->geometry(), twipsRect(240, 3960, 4935, 735));
        // Frame2 keeps the standard font; the Status line inside it has its own.
        QCOMPARE(frame2->font(), form->font());
        QCOMPARE(probe().find<QLabel>("Status")->parentWidget(), frame2);
        QCOMPARE(
            probe().find<QLabel>("Status")->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);

        auto *shape = probe().find<Shape>("Shape1");
        QCOMPARE(shape->parentWidget(), probe().find<QGroupBox>("Frame1"));
        QCOMPARE(shape->geometry(), twipsRect(360, 480, 735, 1215));
        QCOMPARE(probe().find<QLabel>("Label1")->alignment(), Qt::AlignCenter);
        QCOMPARE(probe().find<QLabel>("Label2")->alignment(), Qt::AlignCenter);
    }

    void indicatorPaintsItsColours()
    {
        auto *shape = probe().find<Shape>("Shape1");
        shape->setFillColor(FormUnits::Green);
        shape->setBorderColor(FormUnits::Red);
        const QImage image = shape->grab().toImage();
        QCOMPARE(image.pixelColor(0, 0), QColor(Qt::red));
        QCOMPARE(image.pixelColor(image.width() / 2, image.height() / 2), QColor(Qt::green));
    }

    void drawerOptionsCarryTheirIndex()
    {
        const auto options = form->findChildren<QRadioButton *>(QStringLiteral("DrawerOption"));
        QCOMPARE(options.size(), 8);
        const int columns[] = {120, 1440, 2760, 4080};
        for (int index = 0; index < 8; ++index) {
            QRadioButton *option = probe().drawerOption(index);
            QCOMPARE(option->text(), QStringLiteral("Drawer #%1").arg(index + 1));
            const int width = index % 4 == 1 ? 1335 : 1215;
            QCOMPARE(option->geometry(),
                twipsRect(columns[index % 4], index < 4 ? 4800 : 5160, width, 375));
            QCOMPARE(option->font().pointSizeF(), 9.75);
            QCOMPARE(option->isChecked(), index == 0);
        }
    }

    void exactlyOneDrawerOptionIsSelected()
    {
        form->show();
        for (int index : {5, 2, 7, 0, 3}) {
            QTest::mouseClick(probe().drawerOption(index), Qt::LeftButton);
            for (int other = 0; other < 8; ++other)
                QCOMPARE(probe().drawerOption(other)->isChecked(), other == index);
        }
    }

    void captionsFitTheirControls()
    {
        // The style's own measure of a radio button: indicator, gap and text.
        for (QRadioButton *option : form->findChildren<QRadioButton *>()) {
            QStyleOptionButton styleOption;
            styleOption.initFrom(option);
            const QSize contents
                = QFontMetrics(option->font()).size(Qt::TextShowMnemonic, option->text());
            const QSize needed = option->style()->sizeFromContents(
                QStyle::CT_RadioButton, &styleOption, contents, option);
            QVERIFY2(needed.width() <= option->width(), qPrintable(option->text()));
        }
        for (const char *name : {"Open_Button", "Status_Button"}) {
            auto *button = probe().find<QPushButton>(name);
            QVERIFY(QFontMetrics(button->font()).horizontalAdvance(button->text()) + 12
                <= button->width());
        }
        const QList<std::pair<const char *, QStringList>> labels = {
            {"Label1", {"Cash Drawer"}},
            {"Label2", {"Offline", "Open", "Closed"}},
            {"Status",
                {"USB Device NOT connected!", "USB Device NOT Connected!", "USB Device Connected"}},
        };
        for (const auto &[name, texts] : labels) {
            auto *label = probe().find<QLabel>(name);
            for (const QString &text : texts)
                QVERIFY2(QFontMetrics(label->font()).horizontalAdvance(text) <= label->width(),
                    qPrintable(text));
        }
    }

    void focusChainFromTheWindowRunsThroughOptionsThenButtons()
    {
        // The chain also holds widgets that never take the focus; Tab skips
        // them. Walk it once round, from the window back to the window.
        QList<QWidget *> focusable;
        for (QWidget *widget = form->nextInFocusChain(); widget != form.get();
             widget = widget->nextInFocusChain()) {
            if (widget->focusPolicy() & Qt::TabFocus)
                focusable << widget;
        }
        QList<QWidget *> expected;
        for (int index : {7, 6, 5, 0, 1, 2, 3, 4})
            expected << probe().drawerOption(index);
        expected << probe().find<QPushButton>("Open_Button")
                 << probe().find<QPushButton>("Status_Button");
        QCOMPARE(focusable, expected);
        for (const char *name : {"Frame1", "Frame2", "Label1", "Label2", "Status", "Shape1"})
            QCOMPARE(probe().find<QWidget>(name)->focusPolicy(), Qt::NoFocus);
    }

    void tabKeyStartsAtDrawer8ThenTheButtons_data()
    {
        // Tab treats the group of option buttons as one stop and re-enters it
        // at the option that had the focus last.
        QTest::addColumn<bool>("backwards");
        QTest::addColumn<QStringList>("stops");
        QTest::newRow("Tab") << false
                             << QStringList {"Drawer #8", "Open Cash Drawer", "Cash Drawer Status",
                                    "Drawer #8"};
        QTest::newRow("Shift+Tab")
            << true
            << QStringList {"Drawer #8", "Cash Drawer Status", "Open Cash Drawer", "Drawer #8"};
    }

    void tabKeyStartsAtDrawer8ThenTheButtons()
    {
        QFETCH(bool, backwards);
        QFETCH(QStringList, stops);
        // Connected, so both push buttons can take the focus.
        library.handleAnswers = {5};
        form->Timer1_Timer();
        probe().timer()->stop();
        QVERIFY(probe().showsConnected());
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        // The window gives its first focus to the first control in the order.
        QTRY_VERIFY(QApplication::focusWidget());
        QStringList visited {QApplication::focusWidget()->property("text").toString()};
        while (visited.size() < stops.size()) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab,
                backwards ? Qt::ShiftModifier : Qt::NoModifier);
            visited << QApplication::focusWidget()->property("text").toString();
        }
        QCOMPARE(visited, stops);
    }

    void menuBarReadsInOrder()
    {
        const QList<QAction *> bar = form->menuBar()->actions();
        QStringList captions;
        for (QAction *action : bar)
            captions << action->text();
        QCOMPARE(captions, QStringList({"&Exit", "&Cash Drawer", "&Online", "&Help"}));
        QCOMPARE(bar[0]->objectName(), "mnuExit");
        QVERIFY(!bar[0]->menu());
        QCOMPARE(bar[2]->objectName(), "mnuOnline");
        QVERIFY(!bar[2]->menu());

        const QList<QAction *> cashDrawer = probe().find<QMenu>("mnuCashDrawer")->actions();
        QCOMPARE(cashDrawer.size(), 2);
        QCOMPARE(cashDrawer[0]->objectName(), "mnuOpenDrawer");
        QCOMPARE(cashDrawer[0]->text(), "&Open Drawer");
        QCOMPARE(cashDrawer[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
        QCOMPARE(cashDrawer[1]->objectName(), "mnuStatusDrawer");
        QCOMPARE(cashDrawer[1]->text(), "Get &Status of Drawer");
        QCOMPARE(cashDrawer[1]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));

        const QList<QAction *> help = probe().find<QMenu>("mnuHelp")->actions();
        QCOMPARE(help.size(), 1);
        QCOMPARE(help[0]->objectName(), "mnuAbout");
        QCOMPARE(help[0]->text(), "&About");
        QCOMPARE(form->menuBar()->isNativeMenuBar(), false);
    }

    void loadedStateDisablesOnlyTheCommandsThatNeedAHandle()
    {
        QVERIFY(probe().showsDisconnected());
        for (const char *name : {"mnuExit", "mnuOnline", "mnuHelp"})
            QVERIFY(probe().find<QAction>(name)->isEnabled());
        QVERIFY(probe().find<QAction>("mnuOpenDrawer")->isEnabled());
        QVERIFY(form->findChild<QTimer *>("Timer1"));
        QCOMPARE(probe().timer()->interval(), 100);
        QCOMPARE(form->windowTitle(), "Kestrin Cash Drawer USB Controller");
    }

    void firstTickComesNoEarlierThanOneIntervalAfterCreation()
    {
        // Timed from just before the window is created to its first library
        // call, which only a tick makes.
        FakeDrawerLibrary quiet;
        QElapsedTimer clock;
        qint64 firstCallNs = -1;
        quiet.duringCall = [&] {
            if (firstCallNs < 0)
                firstCallNs = clock.nsecsElapsed();
        };
        clock.start();
        MainForm fresh(quiet, [] {});
        QVERIFY(quiet.calls.isEmpty());
        QTRY_VERIFY(firstCallNs >= 0);
        QVERIFY2(firstCallNs >= 100'000'000,
            qPrintable(QStringLiteral("first call after %1 ms").arg(firstCallNs / 1e6)));
        QVERIFY(quiet.calls.first().startsWith(QLatin1String("GetDrawerHandle(")));
    }

    void enterPressesOnlyTheFocusedButtonAndEscNothing_data()
    {
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("key");
        QTest::addColumn<QStringList>("calls");
        const QStringList open {"OpenDrawer(5)=1"};
        const QStringList status {"GetDrawerStatus(5)=1"};
        QTest::newRow("Enter on Open_Button") << "Open_Button" << int(Qt::Key_Return) << open;
        QTest::newRow("keypad Enter on Status_Button")
            << "Status_Button" << int(Qt::Key_Enter) << status;
        QTest::newRow("Space on Open_Button") << "Open_Button" << int(Qt::Key_Space) << open;
        QTest::newRow("Esc on Open_Button")
            << "Open_Button" << int(Qt::Key_Escape) << QStringList();
        QTest::newRow("Enter on an option")
            << "DrawerOption" << int(Qt::Key_Return) << QStringList();
        QTest::newRow("Esc on an option") << "DrawerOption" << int(Qt::Key_Escape) << QStringList();
    }

    void enterPressesOnlyTheFocusedButtonAndEscNothing()
    {
        QFETCH(QString, focus);
        QFETCH(int, key);
        QFETCH(QStringList, calls);
        library.handleAnswers = {5};
        form->Timer1_Timer();
        probe().timer()->stop();
        library.takeCalls();
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QWidget *target = focus == QLatin1String("DrawerOption")
            ? static_cast<QWidget *>(probe().drawerOption(0))
            : probe().find<QWidget>(qPrintable(focus));
        target->setFocus();
        QTRY_VERIFY(target->hasFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QCOMPARE(library.takeCalls(), calls);
    }

    void windowHasAFixedClientAreaBelowTheMenuBar()
    {
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QWidget *client = form->centralWidget();
        QCOMPARE(client->size(), QSize(360, 376));
        QCOMPARE(client->y(), form->menuBar()->geometry().bottom() + 1);
        QCOMPARE(form->minimumSize(), form->maximumSize());
        const QSize before = form->size();
        form->resize(before + QSize(100, 100));
        QCOMPARE(form->size(), before);
        QVERIFY(!(form->windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(form->windowFlags() & Qt::WindowCloseButtonHint);
    }

    void windowStartsCentredOnTheScreen()
    {
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(qAbs(form->geometry().center().x() - screen.center().x()) <= 1);
        QVERIFY(qAbs(form->geometry().center().y() - screen.center().y()) <= 1);
    }
};

QTEST_MAIN(MainFormTest)
#include "tst_mainform.moc"
